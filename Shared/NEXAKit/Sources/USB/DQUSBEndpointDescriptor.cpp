#include "DQUSBEndpointDescriptor.h"

std::shared_ptr<DQUSBEndpointDescriptor> DQUSBEndpointDescriptor::withIOKitDescriptor(
    std::span<const std::uint8_t> bytes) {
  return makeFromPrefix<DQUSBEndpointDescriptor, kLength>(bytes);
}

DQUSBEndpointDescriptor::DQUSBEndpointDescriptor(std::span<const std::uint8_t, kLength> bytes)
    : endpointAddress_(bytes[2]), attributes_(bytes[3]), maxPacketSize_(littleEndian16(&bytes[4])), interval_(bytes[6]) {}
