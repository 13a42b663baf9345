#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DQUSBDeviceInfo.h"
#include "DQUSBInterface.h"
#include "DQUSBIterfaceLocator.h"
#include "IDQUSBDevice.h"
#include "IDQUSBDeviceIDInformation.h"
#include "Usb/UsbDeviceHandle.h"
#include "Usb/UsbDeviceRef.h"
#include "Values/Object.h"

// One attached USB printer of the maker: its snapshot, taken once when it is
// made, and the live side: connected state, capabilities, the merged device
// IDs and the interface objects behind its interface descriptors. Used on its
// owner's thread; not locked.
class DQUSBDevice : public platform::Object, public IDQUSBDevice, public IDQUSBDeviceIDInformation {
 public:
  using Service = std::shared_ptr<platform::UsbDeviceRef>;
  using Interfaces = DQUSBDeviceInfo::Interfaces;

  // The device behind a service, or nullptr when it is not a readable
  // printer of the maker.
  static std::shared_ptr<DQUSBDevice> deviceWithService(const Service& service);

  DQUSBDevice(Service service, std::shared_ptr<DQUSBDeviceInfo> deviceInfo);

  const std::shared_ptr<DQUSBDeviceInfo>& deviceInfo() const { return deviceInfo_; }
  const Service& service() const { return service_; }
  void setService(Service service) { service_ = std::move(service); }
  bool matchesService(const Service& service) const;

  // IDQUSBDevice
  bool matchesDevice(const platform::ObjectPtr& other) const override;
  // Final: nothing connects the device again.
  void disconnect() override { connected_ = false; }
  bool open() override;
  void close() override;
  bool isConnected() const override { return connected_; }
  bool isOpened() const override { return handle_ != nullptr; }
  bool isZarnDevice() const override { return deviceInfo_->isZarnDevice(); }
  std::uint16_t productID() const override { return deviceInfo_->productID(); }
  std::optional<std::uint32_t> locationID() const override { return deviceInfo_->locationID(); }
  std::optional<std::string> serialNumber() const override { return deviceInfo_->serialNumber(); }
  std::optional<std::string> productName() const override { return deviceInfo_->productName(); }
  std::optional<std::string> manufacturer() const override { return deviceInfo_->manufacturer(); }
  // Print capable by the snapshot, unless the product name names a scanner
  // family; scan capable by the snapshot or by such a name. A device without
  // a product name names no family.
  bool isPrintCapable() const override;
  bool isScanCapable() const override;
  bool isFaxCapable() const override { return deviceInfo_->isFaxCapable(); }
  bool isAirPrintCapable() const override { return deviceInfo_->isAirPrintCapable(); }
  const IDQUSBDeviceIDInformation& deviceIDInfo() const override { return *this; }
  bool hasNonAirPrintNEXAInterfaces() const override;
  bool hasSeparatePrintInterfaces() const override;

  // IDQUSBDeviceIDInformation, over the device IDs in configuration order.
  std::vector<std::string> deviceIDReportedModels() const override;
  std::vector<std::string> deviceIDReportedDescriptions() const override;
  std::optional<std::string> deviceIDReportedManufacturer() const override;
  std::optional<DQDeviceIDParser::Locators> deviceIDReportedNEXAIS() const override;
  std::optional<std::string> deviceIDReportedCID() const override;
  std::optional<std::string> deviceIDReportedSerialNumber() const override;

  std::vector<std::string> deviceIDStrings() const;
  std::optional<Interfaces> alternateInterfacesForDescriptor(
      const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor) const {
    return deviceInfo_->alternateInterfacesForDescriptor(descriptor);
  }
  bool interfaceDescriptorHasAlternatesMatchingPredicate(
      const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor,
      const std::function<bool(const DQUSBInterfaceDescriptor&)>& predicate) const;
  std::optional<Interfaces> interfaceDescriptorsForLocators(
      const std::optional<DQDeviceIDParser::Locators>& locators) const;
  // The interface object of the descriptor's interface number at the
  // descriptor's alternate setting; nullptr when the device is gone (it is
  // then disconnected) or not connected.
  std::shared_ptr<DQUSBInterface> interfaceForDescriptor(const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor);
  std::shared_ptr<DQUSBInterface> interfaceForDescriptor(const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor,
                                                         std::uint8_t requestedAlternate);

 private:
  bool productNameNamesScannerFamily() const;
  std::vector<std::shared_ptr<DQDeviceIDParser>> parsers() const;
  std::vector<std::string> distinctValues(std::optional<std::string> (DQDeviceIDParser::*field)() const) const;
  std::optional<std::string> firstValue(std::optional<std::string> (DQDeviceIDParser::*field)() const) const;

  Service service_;
  const std::shared_ptr<DQUSBDeviceInfo> deviceInfo_;
  bool connected_ = true;
  std::shared_ptr<platform::UsbDeviceHandle> handle_;  // while opened
};
