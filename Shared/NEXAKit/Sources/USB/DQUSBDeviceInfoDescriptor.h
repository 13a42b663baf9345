#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "DQUSBDescriptor.h"

// The printer's class-specific device-information descriptor (type 0x21):
// the 8-byte base form, or the extended form of 10 bytes or more that adds the
// string indexes of the IPP versions and of the printer's UUID.
class DQUSBDeviceInfoDescriptor : public DQUSBDescriptor {
 public:
  static constexpr std::uint8_t kDescriptorType = 0x21;
  static constexpr std::size_t kBaseLength = 8;
  static constexpr std::size_t kExtendedLength = 10;

  // The base form; nullptr when fewer than 8 bytes are given.
  static std::shared_ptr<DQUSBDeviceInfoDescriptor> withDraftIOKitDescriptor(std::span<const std::uint8_t> bytes);
  // The extended form; nullptr when fewer than 10 bytes are given.
  static std::shared_ptr<DQUSBDeviceInfoDescriptor> withIOKitDescriptor(std::span<const std::uint8_t> bytes);
  explicit DQUSBDeviceInfoDescriptor(std::span<const std::uint8_t, kBaseLength> bytes);
  explicit DQUSBDeviceInfoDescriptor(std::span<const std::uint8_t, kExtendedLength> bytes);

  std::uint8_t descriptorType() const override { return kDescriptorType; }

  std::uint8_t releaseNumber() const { return releaseNumber_; }
  std::uint8_t capabilitiesType() const { return capabilitiesType_; }
  std::uint16_t basicCapabilities() const { return basicCapabilities_; }
  // String indexes; 0 in the base form.
  std::uint8_t IPPVersionDescriptor() const { return IPPVersionDescriptor_; }
  std::uint8_t IPPPrinterUUIDDescriptor() const { return IPPPrinterUUIDDescriptor_; }

  bool isScanCapable() const { return (basicCapabilities_ & 0x02) != 0; }
  bool isFaxCapable() const { return (basicCapabilities_ & 0x04) != 0; }
  bool isAirPrintCapable() const { return (basicCapabilities_ & 0x10) != 0; }  // IPP over USB

 private:
  std::uint8_t releaseNumber_;
  std::uint8_t capabilitiesType_;
  std::uint16_t basicCapabilities_;
  std::uint8_t IPPVersionDescriptor_ = 0;
  std::uint8_t IPPPrinterUUIDDescriptor_ = 0;
};
