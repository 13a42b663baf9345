#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "Values/Object.h"

// Base of the USB descriptor objects: immutable values parsed from the raw
// bytes a device returns. Multi-byte fields are little-endian, as on the bus.
// Descriptors may be read from any thread once parsed.
class DQUSBDescriptor : public platform::Object {
 public:
  // The USB descriptor type code of the kind (1 device, 2 configuration...).
  virtual std::uint8_t descriptorType() const = 0;

 protected:
  // A descriptor of kind T made from the first N bytes; nullptr when fewer
  // are given.
  template <class T, std::size_t N>
  static std::shared_ptr<T> makeFromPrefix(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < N) return nullptr;
    return std::make_shared<T>(bytes.first<N>());
  }
  static std::uint16_t littleEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
  }
};
