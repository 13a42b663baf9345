#pragma once

#include <cstdint>

// Constants of the maker's USB printers.
class DQUSBConstatns {
 public:
  // The subclass of USB printer-class (class 7) interfaces.
  static constexpr std::uint8_t printingSubclass() { return 1; }
  // The maker's USB vendor ID. Every vendor check, and the simulated printer,
  // compares against this one value.
  static constexpr std::uint16_t ZarnVendorID() { return 0x2F7A; }
};
