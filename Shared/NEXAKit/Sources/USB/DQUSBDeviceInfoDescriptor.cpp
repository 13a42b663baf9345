#include "DQUSBDeviceInfoDescriptor.h"

std::shared_ptr<DQUSBDeviceInfoDescriptor> DQUSBDeviceInfoDescriptor::withDraftIOKitDescriptor(
    std::span<const std::uint8_t> bytes) {
  return makeFromPrefix<DQUSBDeviceInfoDescriptor, kBaseLength>(bytes);
}

std::shared_ptr<DQUSBDeviceInfoDescriptor> DQUSBDeviceInfoDescriptor::withIOKitDescriptor(
    std::span<const std::uint8_t> bytes) {
  return makeFromPrefix<DQUSBDeviceInfoDescriptor, kExtendedLength>(bytes);
}

DQUSBDeviceInfoDescriptor::DQUSBDeviceInfoDescriptor(std::span<const std::uint8_t, kBaseLength> bytes)
    : releaseNumber_(bytes[2]), capabilitiesType_(bytes[4]), basicCapabilities_(littleEndian16(&bytes[6])) {}

DQUSBDeviceInfoDescriptor::DQUSBDeviceInfoDescriptor(std::span<const std::uint8_t, kExtendedLength> bytes)
    : DQUSBDeviceInfoDescriptor(bytes.first<kBaseLength>()) {
  IPPVersionDescriptor_ = bytes[8];
  IPPPrinterUUIDDescriptor_ = bytes[9];
}
