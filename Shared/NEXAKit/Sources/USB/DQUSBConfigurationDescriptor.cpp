#include "DQUSBConfigurationDescriptor.h"

#include <algorithm>

#include "DQLog.h"

std::shared_ptr<DQUSBConfigurationDescriptor> DQUSBConfigurationDescriptor::descriptorWithRawData(
    std::span<const std::uint8_t> data) {
  if (data.size() < kLength) return nullptr;
  Interfaces interfaces;
  enumerateDescriptorsFollowingTo(data, [&](std::span<const std::uint8_t> descriptor, std::size_t, bool*) {
    if (descriptor.size() < 2) return;
    switch (descriptor[1]) {
      case DQUSBInterfaceDescriptor::kDescriptorType:
        if (auto interface = DQUSBInterfaceDescriptor::withIOKitDescriptor(descriptor)) {
          interfaces.push_back(std::move(interface));
        }
        break;
      case DQUSBEndpointDescriptor::kDescriptorType:
        // An endpoint belongs to the interface appended last; one met before
        // any interface is dropped.
        if (interfaces.empty()) break;
        if (auto endpoint = DQUSBEndpointDescriptor::withIOKitDescriptor(descriptor)) {
          interfaces.back()->addEndpoint(std::move(endpoint));
        }
        break;
      default:
        break;  // class-specific descriptors, interface associations...
    }
  });
  return std::make_shared<DQUSBConfigurationDescriptor>(data.first<kLength>(), std::move(interfaces));
}

void DQUSBConfigurationDescriptor::enumerateDescriptorsFollowingTo(std::span<const std::uint8_t> configuration,
                                                                   const DescriptorBlock& block) {
  if (configuration.size() < 4) return;
  const std::size_t end = std::min<std::size_t>(littleEndian16(&configuration[2]), configuration.size());
  std::size_t position = configuration[0];
  bool stop = false;
  for (std::size_t index = 0; position < end && !stop; ++index) {
    const std::size_t length = configuration[position];
    if (length == 0) {
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                   "[DQUSBConfigurationDescriptor] - Enumeration failed. Unexpected descriptor length {%d}",
                                   length);
      return;
    }
    if (length > end - position) return;  // runs past the end: not a whole descriptor
    block(configuration.subspan(position, length), index, &stop);
    position += length;
  }
}

DQUSBConfigurationDescriptor::DQUSBConfigurationDescriptor(std::span<const std::uint8_t, kLength> bytes,
                                                           Interfaces interfaces)
    : numberOfInterfaces_(bytes[4]),
      configurationValue_(bytes[5]),
      configurationStringDescriptor_(bytes[6]),
      attributes_(bytes[7]),
      maxPower_(bytes[8]),
      interfaces_(std::move(interfaces)) {}

std::shared_ptr<DQUSBInterfaceDescriptor> DQUSBConfigurationDescriptor::interfaceDescriptorForClass(
    std::uint8_t interfaceClass, std::uint8_t subclass, std::uint8_t protocol) const {
  const auto found = std::find_if(interfaces_.begin(), interfaces_.end(), [&](const auto& interface) {
    return interface->interfaceClass() == interfaceClass && interface->interfaceSubClass() == subclass &&
           interface->interfaceProtocol() == protocol;
  });
  return found == interfaces_.end() ? nullptr : *found;
}

DQUSBConfigurationDescriptor::Interfaces DQUSBConfigurationDescriptor::interfaceDescriptorsForInterfaceNumber(
    std::uint8_t interfaceNumber) const {
  Interfaces alternates;
  std::copy_if(interfaces_.begin(), interfaces_.end(), std::back_inserter(alternates),
               [&](const auto& interface) { return interface->interfaceNumber() == interfaceNumber; });
  return alternates;
}

bool DQUSBConfigurationDescriptor::containsInterfacesForClass(std::uint8_t interfaceClass, std::uint8_t subclass) const {
  return std::any_of(interfaces_.begin(), interfaces_.end(), [&](const auto& interface) {
    return interface->interfaceClass() == interfaceClass && interface->interfaceSubClass() == subclass;
  });
}
