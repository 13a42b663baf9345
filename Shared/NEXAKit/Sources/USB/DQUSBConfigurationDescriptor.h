#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "DQUSBDescriptor.h"
#include "DQUSBInterfaceDescriptor.h"

// A USB configuration: the 9-byte configuration descriptor and, in the order
// met, every interface descriptor that follows it (each alternate setting its
// own entry) with its endpoints.
class DQUSBConfigurationDescriptor : public DQUSBDescriptor {
 public:
  static constexpr std::uint8_t kDescriptorType = 2;
  static constexpr std::size_t kLength = 9;

  using Interfaces = std::vector<std::shared_ptr<DQUSBInterfaceDescriptor>>;
  // Called once per subordinate descriptor, on the walking thread, with the
  // descriptor's bLength bytes (at least 1), its index from 0 and a flag that
  // stops the walk when set.
  using DescriptorBlock = std::function<void(std::span<const std::uint8_t> descriptor, std::size_t index, bool* stop)>;

  // Parses the whole configuration (wTotalLength bytes). nullptr for 8 bytes
  // or fewer. The device's lengths are not trusted: the walk stays within the
  // bytes given, and a descriptor too short for its kind is skipped.
  static std::shared_ptr<DQUSBConfigurationDescriptor> descriptorWithRawData(std::span<const std::uint8_t> data);

  // Walks the descriptors that follow the configuration descriptor, from its
  // bLength up to wTotalLength or the end of the data, whichever comes first.
  // A bLength of 0 ends the walk with an error line; a descriptor that runs
  // past the end is not handed out.
  static void enumerateDescriptorsFollowingTo(std::span<const std::uint8_t> configuration, const DescriptorBlock& block);

  DQUSBConfigurationDescriptor(std::span<const std::uint8_t, kLength> bytes, Interfaces interfaces);

  std::uint8_t descriptorType() const override { return kDescriptorType; }

  std::uint8_t numberOfInterfaces() const { return numberOfInterfaces_; }
  std::uint8_t configurationValue() const { return configurationValue_; }
  std::uint8_t configurationStringDescriptor() const { return configurationStringDescriptor_; }
  std::uint8_t attributes() const { return attributes_; }
  std::uint8_t maxPower() const { return maxPower_; }
  const Interfaces& interfaces() const { return interfaces_; }

  // The first interface (alternates included, in list order) of that kind;
  // nullptr when none.
  std::shared_ptr<DQUSBInterfaceDescriptor> interfaceDescriptorForClass(std::uint8_t interfaceClass,
                                                                        std::uint8_t subclass,
                                                                        std::uint8_t protocol) const;
  // Every alternate setting of one interface number, in list order.
  Interfaces interfaceDescriptorsForInterfaceNumber(std::uint8_t interfaceNumber) const;
  // Whether any interface has that class and subclass, whatever its protocol.
  bool containsInterfacesForClass(std::uint8_t interfaceClass, std::uint8_t subclass) const;

 private:
  std::uint8_t numberOfInterfaces_;
  std::uint8_t configurationValue_;
  std::uint8_t configurationStringDescriptor_;
  std::uint8_t attributes_;
  std::uint8_t maxPower_;
  Interfaces interfaces_;
};
