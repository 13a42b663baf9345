#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DQUSBConfigurationDescriptor.h"
#include "DQUSBDeviceDescriptor.h"
#include "DQUSBDeviceInfoDescriptor.h"
#include "DQUSBInterfaceDescriptor.h"
#include "Usb/UsbDeviceRef.h"
#include "Values/Dictionary.h"
#include "Values/Object.h"
#include "Values/Value.h"

// The snapshot of one USB printer of the maker, read once through control
// requests: descriptors, strings and the IEEE 1284 device ID of every
// printer-class interface. Immutable; readable from any thread.
class DQUSBDeviceInfo : public platform::Object {
 public:
  using Device = std::shared_ptr<platform::UsbDeviceRef>;
  using StringTable = std::map<std::uint8_t, std::string>;
  using Interfaces = DQUSBConfigurationDescriptor::Interfaces;

  // Every control request of every device goes through one class-wide lock:
  // open, request, close. Each request has a time-out of its own.
  static constexpr double kRequestTimeout = 5.0;

  // The snapshot, or nullptr for no device, another vendor's device or one
  // whose descriptors cannot be read.
  static std::shared_ptr<DQUSBDeviceInfo> deviceInfoForInterface(const Device& device);

  DQUSBDeviceInfo(std::optional<std::uint32_t> locationID, std::shared_ptr<DQUSBDeviceDescriptor> deviceDescriptor,
                  std::shared_ptr<DQUSBConfigurationDescriptor> configurationDescriptor,
                  std::shared_ptr<DQUSBDeviceInfoDescriptor> deviceInfoDescriptor, StringTable stringDescriptors,
                  platform::Dictionary deviceIDs);

  std::optional<std::uint32_t> locationID() const { return locationID_; }
  const std::shared_ptr<DQUSBDeviceDescriptor>& deviceDescriptor() const { return deviceDescriptor_; }
  const std::shared_ptr<DQUSBConfigurationDescriptor>& configurationDescriptor() const {
    return configurationDescriptor_;
  }
  const std::shared_ptr<DQUSBDeviceInfoDescriptor>& deviceInfoDescriptor() const { return deviceInfoDescriptor_; }
  const StringTable& stringDescriptors() const { return stringDescriptors_; }
  // interfaceIdentifier → device-ID text, in configuration order.
  const platform::Dictionary& deviceIDs() const { return deviceIDs_; }

  std::optional<std::string> serialNumber() const;
  std::optional<std::string> productName() const;
  std::optional<std::string> manufacturer() const;
  std::uint16_t productID() const { return deviceDescriptor_->productID(); }
  bool isZarnDevice() const;
  bool isPrintCapable() const;
  bool isAirPrintCapable() const;
  bool isScanCapable() const;
  bool isFaxCapable() const;
  const Interfaces& interfaceDescriptors() const { return configurationDescriptor_->interfaces(); }
  std::shared_ptr<DQUSBInterfaceDescriptor> descriptorForClass(std::uint8_t interfaceClass, std::uint8_t subclass,
                                                               std::uint8_t protocol) const;
  // Every alternate setting of the descriptor's interface; nullopt for none.
  std::optional<Interfaces> alternateInterfacesForDescriptor(
      const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor) const;

  // The readers. Each stores the host's result through `returnValue` when
  // given, logs a failure and answers nullptr or nullopt.
  static std::shared_ptr<DQUSBDeviceDescriptor> deviceDescriptorForDevice(const Device& device,
                                                                          platform::UsbReturn* returnValue);
  static std::shared_ptr<DQUSBConfigurationDescriptor> configurationDescriptorForDevice(
      const Device& device, platform::UsbReturn* returnValue);
  static std::optional<platform::Data> configurationDescriptorDataForDevice(const Device& device, std::uint8_t index,
                                                                            platform::UsbReturn* returnValue);
  static std::optional<std::string> stringDescriptorForDevice(const Device& device, std::uint8_t index,
                                                              platform::UsbReturn* returnValue);
  static std::shared_ptr<DQUSBDeviceInfoDescriptor> deviceInfoDescriptorFordevice(const Device& device,
                                                                                  platform::UsbReturn* returnValue);
  static std::optional<std::string> deviceIDStringForDevice(const Device& device, std::uint8_t configuration,
                                                            const DQUSBInterfaceDescriptor& interface,
                                                            platform::UsbReturn* returnValue);
  static std::optional<platform::Data> interfaceDataForDevice(const Device& device, std::uint8_t configuration,
                                                              const DQUSBInterfaceDescriptor& interface,
                                                              std::uint8_t request, platform::UsbReturn* returnValue);

 private:
  std::optional<std::string> string(std::uint8_t index) const;

  const std::optional<std::uint32_t> locationID_;
  const std::shared_ptr<DQUSBDeviceDescriptor> deviceDescriptor_;
  const std::shared_ptr<DQUSBConfigurationDescriptor> configurationDescriptor_;
  const std::shared_ptr<DQUSBDeviceInfoDescriptor> deviceInfoDescriptor_;
  const StringTable stringDescriptors_;
  const platform::Dictionary deviceIDs_;
};
