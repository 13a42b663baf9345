// Feeds arbitrary bytes to the configuration-descriptor walk, as a device
// could send them, and reads every parsed field back.
#include <cstddef>
#include <cstdint>
#include <span>

#include "DQUSBConfigurationDescriptor.h"
#include "DQUSBDeviceDescriptor.h"
#include "DQUSBDeviceInfoDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  if (const auto configuration = DQUSBConfigurationDescriptor::descriptorWithRawData(bytes)) {
    unsigned sum = 0;
    for (const auto& interface : configuration->interfaces()) {
      sum += interface->interfaceNumber() + interface->interfaceProtocol();
      for (const auto& endpoint : interface->endpoints()) sum += endpoint->maxPacketSize();
      if (configuration->interfaceDescriptorsForInterfaceNumber(interface->interfaceNumber()).empty()) __builtin_trap();
    }
    (void)sum;
  }
  DQUSBDeviceDescriptor::withIOKitDescriptor(bytes);
  DQUSBDeviceInfoDescriptor::withIOKitDescriptor(bytes);
  DQUSBDeviceInfoDescriptor::withDraftIOKitDescriptor(bytes);
  return 0;
}
