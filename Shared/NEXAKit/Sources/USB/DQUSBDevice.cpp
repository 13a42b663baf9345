#include "DQUSBDevice.h"

#include <algorithm>

#include "DQFunctional.h"
#include "DQUSBConstatns.h"
#include "Text/Format.h"

namespace {

constexpr std::string_view kScannerFamilies[] = {"quorbel", "havrendel"};

}  // namespace

std::shared_ptr<DQUSBDevice> DQUSBDevice::deviceWithService(const Service& service) {
  if (!service) return nullptr;
  auto info = DQUSBDeviceInfo::deviceInfoForInterface(service);
  if (!info) return nullptr;
  return std::make_shared<DQUSBDevice>(service, std::move(info));
}

DQUSBDevice::DQUSBDevice(Service service, std::shared_ptr<DQUSBDeviceInfo> deviceInfo)
    : service_(std::move(service)), deviceInfo_(std::move(deviceInfo)) {}

bool DQUSBDevice::matchesService(const Service& service) const {
  return service && service_ && service->matches(*service_);
}

bool DQUSBDevice::matchesDevice(const platform::ObjectPtr& other) const {
  auto device = std::dynamic_pointer_cast<DQUSBDevice>(other);
  return device && matchesService(device->service_);
}

bool DQUSBDevice::open() {
  if (!handle_ && service_ && service_->open(handle_) != platform::usbreturn::kSuccess) handle_.reset();
  return isOpened();
}

void DQUSBDevice::close() { handle_.reset(); }

bool DQUSBDevice::productNameNamesScannerFamily() const {
  auto name = productName();
  if (!name) return false;
  std::string lower = *name;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::any_of(std::begin(kScannerFamilies), std::end(kScannerFamilies),
                     [&](std::string_view family) { return lower.find(family) != std::string::npos; });
}

bool DQUSBDevice::isPrintCapable() const { return deviceInfo_->isPrintCapable() && !productNameNamesScannerFamily(); }

bool DQUSBDevice::isScanCapable() const { return deviceInfo_->isScanCapable() || productNameNamesScannerFamily(); }

bool DQUSBDevice::hasNonAirPrintNEXAInterfaces() const {
  auto located = interfaceDescriptorsForLocators(deviceIDReportedNEXAIS());
  if (!located || located->empty()) return false;
  return std::any_of(located->begin(), located->end(), [&](const auto& descriptor) {
    return !interfaceDescriptorHasAlternatesMatchingPredicate(
        descriptor, [](const DQUSBInterfaceDescriptor& one) { return one.isAirPrintInterface(); });
  });
}

bool DQUSBDevice::hasSeparatePrintInterfaces() const {
  const auto& interfaces = deviceInfo_->interfaceDescriptors();
  return std::any_of(interfaces.begin(), interfaces.end(), [&](const auto& descriptor) {
    return descriptor->isPrintInterface() &&
           !interfaceDescriptorHasAlternatesMatchingPredicate(
               descriptor, [](const DQUSBInterfaceDescriptor& one) { return one.isAirPrintInterface(); });
  });
}

std::vector<std::string> DQUSBDevice::deviceIDStrings() const {
  std::vector<std::string> strings;
  for (const auto& value : deviceInfo_->deviceIDs().values())
    if (const auto* text = value.string()) strings.push_back(*text);
  return strings;
}

std::vector<std::shared_ptr<DQDeviceIDParser>> DQUSBDevice::parsers() const {
  std::vector<std::shared_ptr<DQDeviceIDParser>> parsers;
  for (const auto& text : deviceIDStrings())
    if (auto parser = DQDeviceIDParser::parserWithDeviceIDString(text)) parsers.push_back(std::move(parser));
  return parsers;
}

std::vector<std::string> DQUSBDevice::distinctValues(
    std::optional<std::string> (DQDeviceIDParser::*field)() const) const {
  std::vector<std::string> values;
  for (const auto& parser : parsers()) {
    auto value = ((*parser).*field)();
    if (value && !value->empty() && std::find(values.begin(), values.end(), *value) == values.end())
      values.push_back(*value);
  }
  return values;
}

std::optional<std::string> DQUSBDevice::firstValue(
    std::optional<std::string> (DQDeviceIDParser::*field)() const) const {
  for (const auto& parser : parsers())
    if (auto value = ((*parser).*field)(); value && !value->empty()) return value;
  return std::nullopt;
}

std::vector<std::string> DQUSBDevice::deviceIDReportedModels() const {
  return distinctValues(&DQDeviceIDParser::modelName);
}
std::vector<std::string> DQUSBDevice::deviceIDReportedDescriptions() const {
  return distinctValues(&DQDeviceIDParser::deviceDescription);
}
std::optional<std::string> DQUSBDevice::deviceIDReportedManufacturer() const {
  return firstValue(&DQDeviceIDParser::manufacturer);
}
std::optional<std::string> DQUSBDevice::deviceIDReportedCID() const { return firstValue(&DQDeviceIDParser::identifier); }
std::optional<std::string> DQUSBDevice::deviceIDReportedSerialNumber() const {
  return firstValue(&DQDeviceIDParser::serialNumber);
}

std::optional<DQDeviceIDParser::Locators> DQUSBDevice::deviceIDReportedNEXAIS() const {
  for (const auto& parser : parsers())
    if (auto locators = parser->NEXAIS(); locators && !locators->empty()) return locators;
  return std::nullopt;
}

bool DQUSBDevice::interfaceDescriptorHasAlternatesMatchingPredicate(
    const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor,
    const std::function<bool(const DQUSBInterfaceDescriptor&)>& predicate) const {
  if (!descriptor || !predicate) return false;
  const auto& interfaces = deviceInfo_->interfaceDescriptors();
  return std::any_of(interfaces.begin(), interfaces.end(), [&](const auto& one) {
    return one->interfaceNumber() == descriptor->interfaceNumber() && predicate(*one);
  });
}

std::optional<DQUSBDevice::Interfaces> DQUSBDevice::interfaceDescriptorsForLocators(
    const std::optional<DQDeviceIDParser::Locators>& locators) const {
  if (!locators) return std::nullopt;
  return DQFunctional::filterArray(deviceInfo_->interfaceDescriptors(), [&](const auto& descriptor) {
    return std::any_of(locators->begin(), locators->end(), [&](const auto& locator) {
      return locator->interfaceClass() == descriptor->interfaceClass() &&
             locator->interfaceSubclass() == descriptor->interfaceSubClass() &&
             locator->interfaceProtocol() == descriptor->interfaceProtocol();
    });
  });
}

std::shared_ptr<DQUSBInterface> DQUSBDevice::interfaceForDescriptor(
    const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor) {
  if (!descriptor || !connected_) return nullptr;
  for (const auto& alternate : alternateInterfacesForDescriptor(descriptor).value_or(Interfaces{})) {
    if (auto interface = interfaceForDescriptor(alternate, descriptor->alternateSetting())) return interface;
    if (!connected_) break;
  }
  return nullptr;
}

std::shared_ptr<DQUSBInterface> DQUSBDevice::interfaceForDescriptor(
    const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor, std::uint8_t requestedAlternate) {
  if (!descriptor || !connected_ || !service_) return nullptr;
  // Interfaces are addressed by number: the search is whether the device is
  // still there.
  std::shared_ptr<platform::UsbDeviceHandle> handle;
  const auto result = service_->open(handle);
  handle.reset();
  if (result == platform::usbreturn::kNoDevice) disconnect();
  if (result != platform::usbreturn::kSuccess) return nullptr;
  auto interface = DQUSBInterface::interfaceWithService(service_, deviceInfo_->configurationDescriptor(),
                                                        descriptor->interfaceNumber(), requestedAlternate);
  if (!interface) return nullptr;
  DQUSBInterface::logUSBMessage(platform::format("\n---Trying open interface: (%d-%d-%d #%d)",
                                                 descriptor->interfaceClass(), descriptor->interfaceSubClass(),
                                                 descriptor->interfaceProtocol(), requestedAlternate));
  return interface;
}
