#include "DQUSBDeviceDescriptor.h"

std::shared_ptr<DQUSBDeviceDescriptor> DQUSBDeviceDescriptor::withIOKitDescriptor(std::span<const std::uint8_t> bytes) {
  return makeFromPrefix<DQUSBDeviceDescriptor, kLength>(bytes);
}

DQUSBDeviceDescriptor::DQUSBDeviceDescriptor(std::span<const std::uint8_t, kLength> bytes)
    : USBVersion_(littleEndian16(&bytes[2])),
      deviceClass_(bytes[4]),
      deviceSubClass_(bytes[5]),
      deviceProtocol_(bytes[6]),
      maxPacketSize_(bytes[7]),
      vendorID_(littleEndian16(&bytes[8])),
      productID_(littleEndian16(&bytes[10])),
      releaseNumber_(littleEndian16(&bytes[12])),
      manufacturerStringIndex_(bytes[14]),
      productStringIndex_(bytes[15]),
      serialNumberStringIndex_(bytes[16]),
      numberOfCondigurations_(bytes[17]) {}
