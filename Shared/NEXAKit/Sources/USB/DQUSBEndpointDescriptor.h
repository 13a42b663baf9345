#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "DQUSBDescriptor.h"

// A 7-byte USB endpoint descriptor.
class DQUSBEndpointDescriptor : public DQUSBDescriptor {
 public:
  static constexpr std::uint8_t kDescriptorType = 5;
  static constexpr std::size_t kLength = 7;

  // nullptr when fewer than 7 bytes are given; bytes past them are ignored.
  static std::shared_ptr<DQUSBEndpointDescriptor> withIOKitDescriptor(std::span<const std::uint8_t> bytes);
  explicit DQUSBEndpointDescriptor(std::span<const std::uint8_t, kLength> bytes);

  std::uint8_t descriptorType() const override { return kDescriptorType; }

  std::uint8_t endpointAddress() const { return endpointAddress_; }
  std::uint8_t attributes() const { return attributes_; }
  std::uint16_t maxPacketSize() const { return maxPacketSize_; }
  std::uint8_t interval() const { return interval_; }

 private:
  std::uint8_t endpointAddress_;
  std::uint8_t attributes_;
  std::uint16_t maxPacketSize_;
  std::uint8_t interval_;
};
