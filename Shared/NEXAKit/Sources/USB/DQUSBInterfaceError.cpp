#include "DQUSBInterfaceError.h"

platform::ErrorPtr DQUSBInterfaceError::errorWithRawCode(platform::UsbReturn code) {
  switch (code) {
    case platform::usbreturn::kExclusiveAccess: return errorWithCode(kExclusiveAccess);
    case platform::usbreturn::kAborted: return errorWithCode(kAborted);
    case platform::usbreturn::kNoDevice: return errorWithCode(kNoDevice);
    default: return errorWithCode(kOther);
  }
}
