#pragma once

#include <cstdint>

#include "Errors/Error.h"
#include "Usb/UsbReturn.h"

// Errors of USB interfaces: domain "com.zarn.NEXAKit.usb.interface", no user
// info.
class DQUSBInterfaceError {
 public:
  static constexpr std::int64_t kExclusiveAccess = 0;  // another client holds the interface
  static constexpr std::int64_t kAborted = 1;
  static constexpr std::int64_t kOther = 2;
  static constexpr std::int64_t kNoDevice = 5;
  static constexpr std::int64_t kReadInProgress = 6;
  static constexpr std::int64_t kWriteInProgress = 7;

  static const char* domain() { return "com.zarn.NEXAKit.usb.interface"; }
  // A host code by the table: exclusive access 0, aborted 1, no device 5,
  // any other code 2.
  static platform::ErrorPtr errorWithRawCode(platform::UsbReturn code);
  static platform::ErrorPtr errorWithCode(std::int64_t code) { return platform::Error::make(domain(), code); }
};
