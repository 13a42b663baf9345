#pragma once

#include <cstdint>
#include <string>

#include "Values/Object.h"

// A kind of USB interface, the (class, subclass, protocol) triple: every
// interface and alternate setting with the same triple matches it. Immutable.
class DQUSBIterfaceLocator : public platform::Object {
 public:
  DQUSBIterfaceLocator(std::uint8_t interfaceClass, std::uint8_t subclass, std::uint8_t protocol)
      : interfaceClass_(interfaceClass), interfaceSubclass_(subclass), interfaceProtocol_(protocol) {}

  std::uint8_t interfaceClass() const { return interfaceClass_; }
  std::uint8_t interfaceSubclass() const { return interfaceSubclass_; }
  std::uint8_t interfaceProtocol() const { return interfaceProtocol_; }

  // "<DQUSBIterfaceLocator: 0x…> [7-1-4]"
  std::string description() const override;

 private:
  std::uint8_t interfaceClass_;
  std::uint8_t interfaceSubclass_;
  std::uint8_t interfaceProtocol_;
};
