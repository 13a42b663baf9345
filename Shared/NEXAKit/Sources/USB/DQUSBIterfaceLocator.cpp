#include "DQUSBIterfaceLocator.h"

#include "Text/Format.h"

std::string DQUSBIterfaceLocator::description() const {
  return platform::format("%@ [%d-%d-%d]", Object::description(), interfaceClass_, interfaceSubclass_,
                          interfaceProtocol_);
}
