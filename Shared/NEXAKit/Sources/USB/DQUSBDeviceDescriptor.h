#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "DQUSBDescriptor.h"

// The standard 18-byte USB device descriptor.
class DQUSBDeviceDescriptor : public DQUSBDescriptor {
 public:
  static constexpr std::uint8_t kDescriptorType = 1;
  static constexpr std::size_t kLength = 18;

  // nullptr when fewer than 18 bytes are given; bytes past them are ignored.
  static std::shared_ptr<DQUSBDeviceDescriptor> withIOKitDescriptor(std::span<const std::uint8_t> bytes);
  explicit DQUSBDeviceDescriptor(std::span<const std::uint8_t, kLength> bytes);

  std::uint8_t descriptorType() const override { return kDescriptorType; }

  std::uint16_t USBVersion() const { return USBVersion_; }  // bcdUSB
  std::uint8_t deviceClass() const { return deviceClass_; }
  std::uint8_t deviceSubClass() const { return deviceSubClass_; }
  std::uint8_t deviceProtocol() const { return deviceProtocol_; }
  std::uint8_t maxPacketSize() const { return maxPacketSize_; }  // of endpoint 0
  std::uint16_t vendorID() const { return vendorID_; }
  std::uint16_t productID() const { return productID_; }
  std::uint16_t releaseNumber() const { return releaseNumber_; }  // bcdDevice
  std::uint8_t manufacturerStringIndex() const { return manufacturerStringIndex_; }
  std::uint8_t productStringIndex() const { return productStringIndex_; }
  std::uint8_t serialNumberStringIndex() const { return serialNumberStringIndex_; }
  std::uint8_t numberOfCondigurations() const { return numberOfCondigurations_; }

 private:
  std::uint16_t USBVersion_;
  std::uint8_t deviceClass_;
  std::uint8_t deviceSubClass_;
  std::uint8_t deviceProtocol_;
  std::uint8_t maxPacketSize_;
  std::uint16_t vendorID_;
  std::uint16_t productID_;
  std::uint16_t releaseNumber_;
  std::uint8_t manufacturerStringIndex_;
  std::uint8_t productStringIndex_;
  std::uint8_t serialNumberStringIndex_;
  std::uint8_t numberOfCondigurations_;
};
