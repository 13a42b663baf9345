#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "Usb/UsbDeviceHandle.h"
#include "Usb/UsbReturn.h"

namespace platform {

// Where a device sits on the bus: its identity while it stays attached.
struct UsbDeviceKey {
  std::uint8_t bus = 0;
  std::uint8_t address = 0;
  std::array<std::uint8_t, 7> ports{};  // port numbers from the root hub
  std::uint8_t depth = 0;               // how many of them are used
  friend bool operator==(const UsbDeviceKey&, const UsbDeviceKey&) = default;

  // The 32-bit location: the bus in the top byte, then one nibble per port.
  // nullopt when a port above 15 or more than six ports cannot be written so.
  std::optional<std::uint32_t> locationId() const {
    if (depth > 6) return std::nullopt;
    std::uint32_t location = static_cast<std::uint32_t>(bus) << 24;
    for (std::uint8_t i = 0; i < depth; ++i) {
      if (ports[i] > 15) return std::nullopt;
      location |= static_cast<std::uint32_t>(ports[i]) << (20 - 4 * i);
    }
    return location;
  }
};

// One attached device as the host reports it (the platform's service
// handle). Owned by std::shared_ptr; any thread.
class UsbDeviceRef {
 public:
  virtual ~UsbDeviceRef() = default;
  virtual UsbDeviceKey key() const = 0;
  std::optional<std::uint32_t> locationId() const { return key().locationId(); }
  // The vendor the host read from the device descriptor, without I/O.
  virtual std::uint16_t vendorId() const = 0;
  // Opens the device; kNoDevice once it is gone.
  virtual UsbReturn open(std::shared_ptr<UsbDeviceHandle>& handle) = 0;

  bool matches(const UsbDeviceRef& other) const { return key() == other.key(); }
};

}  // namespace platform
