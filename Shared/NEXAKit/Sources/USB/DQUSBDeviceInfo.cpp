#include "DQUSBDeviceInfo.h"

#include <algorithm>
#include <mutex>

#include "DQLog.h"
#include "DQUSBConstatns.h"

using platform::UsbReturn;
namespace usbreturn = platform::usbreturn;

namespace {

constexpr std::size_t kFirstBuffer = 512;

std::int32_t signedCode(UsbReturn code) { return static_cast<std::int32_t>(code); }

void store(UsbReturn* returnValue, UsbReturn code) {
  if (returnValue) *returnValue = code;
}

// Serialises the device requests of all devices.
std::mutex& requestLock() {
  static std::mutex lock;
  return lock;
}

// One request in the frame: under the class-wide lock, open the device, send
// the request, close it again.
UsbReturn deviceRequest(const DQUSBDeviceInfo::Device& device, const platform::UsbControlSetup& setup,
                        std::span<std::uint8_t> data, std::size_t& done) {
  done = 0;
  std::lock_guard lock(requestLock());
  std::shared_ptr<platform::UsbDeviceHandle> handle;
  const UsbReturn opened = device->open(handle);
  if (opened != usbreturn::kSuccess) {
    if (opened == usbreturn::kNotPermitted)
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelWarning,
                                   "[DQUSBDeviceInfo] - No permission to open the USB device: its node under "
                                   "/dev/bus/usb needs read and write access for this user (a udev rule)");
    return usbreturn::kError;
  }
  return handle->control(setup, data, done, platform::usbMillis(DQUSBDeviceInfo::kRequestTimeout));
}

void appendUtf8(std::string& text, std::uint32_t code) {
  if (code < 0x80) {
    text += static_cast<char>(code);
  } else if (code < 0x800) {
    text += static_cast<char>(0xC0 | (code >> 6));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text += static_cast<char>(0xE0 | (code >> 12));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (code >> 18));
    text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// UTF-16 code units to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string fromUtf16(const std::vector<std::uint16_t>& units) {
  std::string text;
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t code = units[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    appendUtf8(text, code);
  }
  return text;
}

}  // namespace

DQUSBDeviceInfo::DQUSBDeviceInfo(std::optional<std::uint32_t> locationID,
                                 std::shared_ptr<DQUSBDeviceDescriptor> deviceDescriptor,
                                 std::shared_ptr<DQUSBConfigurationDescriptor> configurationDescriptor,
                                 std::shared_ptr<DQUSBDeviceInfoDescriptor> deviceInfoDescriptor,
                                 StringTable stringDescriptors, platform::Dictionary deviceIDs)
    : locationID_(locationID),
      deviceDescriptor_(std::move(deviceDescriptor)),
      configurationDescriptor_(std::move(configurationDescriptor)),
      deviceInfoDescriptor_(std::move(deviceInfoDescriptor)),
      stringDescriptors_(std::move(stringDescriptors)),
      deviceIDs_(std::move(deviceIDs)) {}

std::shared_ptr<DQUSBDeviceInfo> DQUSBDeviceInfo::deviceInfoForInterface(const Device& device) {
  if (!device) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelWarning, "[DQUSBDeviceInfo] - Invalid device interface.");
    return nullptr;
  }
  auto deviceDescriptor = deviceDescriptorForDevice(device, nullptr);
  if (!deviceDescriptor || deviceDescriptor->vendorID() != DQUSBConstatns::ZarnVendorID()) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBDeviceInfo] - Skipping non-Zarn device.");
    return nullptr;
  }
  auto configuration = configurationDescriptorForDevice(device, nullptr);
  if (!configuration) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                 "[DQUSBDeviceInfo]  - Failed to obtain configuration descriptor, skipping device.");
    return nullptr;
  }
  StringTable strings;
  auto readString = [&](std::uint8_t index) {
    if (auto text = stringDescriptorForDevice(device, index, nullptr)) strings[index] = *text;
  };
  readString(deviceDescriptor->manufacturerStringIndex());
  readString(deviceDescriptor->productStringIndex());
  readString(deviceDescriptor->serialNumberStringIndex());

  platform::Dictionary deviceIDs;
  const auto configurationIndex = static_cast<std::uint8_t>(configuration->configurationValue() - 1);
  for (const auto& interface : configuration->interfaces()) {
    readString(interface->interfaceStringIndex());
    if (interface->interfaceClass() != DQUSBInterfaceDescriptor::kPrinterClass) continue;
    if (auto deviceID = deviceIDStringForDevice(device, configurationIndex, *interface, nullptr))
      deviceIDs.set(interface->interfaceIdentifier(), *deviceID);
  }
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBDeviceInfo] - Got device ID strings: %@", deviceIDs);

  auto infoDescriptor = deviceInfoDescriptorFordevice(device, nullptr);
  if (infoDescriptor) {
    readString(infoDescriptor->IPPVersionDescriptor());
    readString(infoDescriptor->IPPPrinterUUIDDescriptor());
  }
  return std::make_shared<DQUSBDeviceInfo>(device->locationId(), std::move(deviceDescriptor), std::move(configuration),
                                           std::move(infoDescriptor), std::move(strings), std::move(deviceIDs));
}

std::optional<std::string> DQUSBDeviceInfo::string(std::uint8_t index) const {
  auto found = stringDescriptors_.find(index);
  if (found == stringDescriptors_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> DQUSBDeviceInfo::serialNumber() const {
  return string(deviceDescriptor_->serialNumberStringIndex());
}
std::optional<std::string> DQUSBDeviceInfo::productName() const {
  return string(deviceDescriptor_->productStringIndex());
}
std::optional<std::string> DQUSBDeviceInfo::manufacturer() const {
  return string(deviceDescriptor_->manufacturerStringIndex());
}

bool DQUSBDeviceInfo::isZarnDevice() const { return deviceDescriptor_->vendorID() == DQUSBConstatns::ZarnVendorID(); }

bool DQUSBDeviceInfo::isPrintCapable() const {
  return configurationDescriptor_->containsInterfacesForClass(DQUSBInterfaceDescriptor::kPrinterClass,
                                                             DQUSBConstatns::printingSubclass());
}

bool DQUSBDeviceInfo::isAirPrintCapable() const {
  return (deviceInfoDescriptor_ && deviceInfoDescriptor_->isAirPrintCapable()) ||
         descriptorForClass(DQUSBInterfaceDescriptor::kPrinterClass, DQUSBConstatns::printingSubclass(),
                            DQUSBInterfaceDescriptor::kIPPOverUSBProtocol);
}

bool DQUSBDeviceInfo::isScanCapable() const {
  return deviceInfoDescriptor_ && deviceInfoDescriptor_->isScanCapable() && isPrintCapable();
}

bool DQUSBDeviceInfo::isFaxCapable() const { return deviceInfoDescriptor_ && deviceInfoDescriptor_->isFaxCapable(); }

std::shared_ptr<DQUSBInterfaceDescriptor> DQUSBDeviceInfo::descriptorForClass(std::uint8_t interfaceClass,
                                                                             std::uint8_t subclass,
                                                                             std::uint8_t protocol) const {
  return configurationDescriptor_->interfaceDescriptorForClass(interfaceClass, subclass, protocol);
}

std::optional<DQUSBDeviceInfo::Interfaces> DQUSBDeviceInfo::alternateInterfacesForDescriptor(
    const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor) const {
  if (!descriptor) return std::nullopt;
  return configurationDescriptor_->interfaceDescriptorsForInterfaceNumber(descriptor->interfaceNumber());
}

std::shared_ptr<DQUSBDeviceDescriptor> DQUSBDeviceInfo::deviceDescriptorForDevice(const Device& device,
                                                                                  UsbReturn* returnValue) {
  std::array<std::uint8_t, DQUSBDeviceDescriptor::kLength> bytes{};
  std::size_t done = 0;
  UsbReturn result = deviceRequest(device, {0x80, 6, 0x0100, 0}, bytes, done);
  if (result == usbreturn::kSuccess && done < bytes.size()) result = usbreturn::kInternalError;
  store(returnValue, result);
  if (result != usbreturn::kSuccess) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBDeviceInfo] - Failed to retrieve device descriptor {err=%d}",
                                 signedCode(result));
    return nullptr;
  }
  return DQUSBDeviceDescriptor::withIOKitDescriptor(bytes);
}

std::shared_ptr<DQUSBConfigurationDescriptor> DQUSBDeviceInfo::configurationDescriptorForDevice(
    const Device& device, UsbReturn* returnValue) {
  std::uint8_t value = 0;
  std::shared_ptr<platform::UsbDeviceHandle> handle;
  UsbReturn result = device->open(handle);
  if (result == usbreturn::kSuccess) result = handle->configuration(value);
  handle.reset();
  if (result != usbreturn::kSuccess) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                 "[DQUSBConfigurationDescriptor] - Current configuration  obtain failed. Unable to "
                                 "retrieve configuration descriptor {err=%d}",
                                 signedCode(result));
    store(returnValue, result);
    return nullptr;
  }
  const std::uint8_t index = value == 0 ? 0 : static_cast<std::uint8_t>(value - 1);
  auto data = configurationDescriptorDataForDevice(device, index, &result);
  store(returnValue, result);
  if (!data) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                 "[DQUSBConfigurationDescriptor] Failed. to retrieve  configuration descriptor {err=%d}",
                                 signedCode(result));
    return nullptr;
  }
  return DQUSBConfigurationDescriptor::descriptorWithRawData(*data);
}

std::optional<platform::Data> DQUSBDeviceInfo::configurationDescriptorDataForDevice(const Device& device,
                                                                                    std::uint8_t index,
                                                                                    UsbReturn* returnValue) {
  platform::Data buffer(kFirstBuffer);
  for (std::size_t attempt = 0; attempt < 2; ++attempt) {
    std::fill(buffer.begin(), buffer.end(), 0);
    std::size_t done = 0;
    const UsbReturn result =
        deviceRequest(device, {0x80, 6, static_cast<std::uint16_t>(0x0200 | index), 0}, buffer, done);
    store(returnValue, result);
    if (result != usbreturn::kSuccess) {
      com_zarn_NEXAKit_TolvekDQLog(
          kDQLogLevelError,
          "[DQUSBDeviceInfo] - Unable to retrieve configuration by index. DeviceRequest failed {err=%d, attempt=%zd}",
          signedCode(result), attempt);
      return std::nullopt;
    }
    const std::size_t total = done >= 4 ? static_cast<std::size_t>(buffer[2] | (buffer[3] << 8)) : 4;
    if (total > buffer.size()) {
      buffer.resize(total);
      continue;
    }
    if (done < total) {
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                   "[DQUSBDeviceInfo] - Unable to retrieve configuration by index. Retrieved not "
                                   "whole data. {expected: %d, retrieved: %d}",
                                   total, done);
      store(returnValue, usbreturn::kInternalError);
      return std::nullopt;
    }
    buffer.resize(total);
    return buffer;
  }
  return std::nullopt;
}

std::optional<std::string> DQUSBDeviceInfo::stringDescriptorForDevice(const Device& device, std::uint8_t index,
                                                                      UsbReturn* returnValue) {
  store(returnValue, usbreturn::kSuccess);
  if (index == 0) return std::nullopt;
  std::array<std::uint8_t, kFirstBuffer> buffer{};
  std::size_t done = 0;
  const UsbReturn result =
      deviceRequest(device, {0x80, 6, static_cast<std::uint16_t>(0x0300 | index), 0x0409}, buffer, done);
  store(returnValue, result);
  if (result != usbreturn::kSuccess) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBDeviceInfo] - Failed to retrieve string descriptor {err=%d}",
                                 signedCode(result));
    return std::nullopt;
  }
  if (done < 4 || done > buffer.size() || buffer[0] == 0 || buffer[1] != 3) {
    store(returnValue, usbreturn::kInternalError);
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                 "[DQUSBDeviceInfo] Failed to retrieve string descriptor - incorrect data");
    return std::nullopt;
  }
  // The characters the descriptor claims and the device sent, whole units only.
  const std::size_t length = std::min<std::size_t>(buffer[0], done);
  std::vector<std::uint16_t> units;
  for (std::size_t at = 2; at + 1 < length; at += 2)
    units.push_back(static_cast<std::uint16_t>(buffer[at] | (buffer[at + 1] << 8)));
  while (!units.empty() && units.back() == 0) units.pop_back();
  if (units.empty()) return std::nullopt;
  return fromUtf16(units);
}

std::shared_ptr<DQUSBDeviceInfoDescriptor> DQUSBDeviceInfo::deviceInfoDescriptorFordevice(const Device& device,
                                                                                          UsbReturn* returnValue) {
  std::array<std::uint8_t, DQUSBDeviceInfoDescriptor::kExtendedLength> bytes{};
  std::size_t done = 0;
  const UsbReturn result = deviceRequest(device, {0x80, 6, 0x2100, 0}, bytes, done);
  store(returnValue, result);
  if (result != usbreturn::kSuccess) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBDeviceInfo] Unable to retrieve device request {err=%d}",
                                 signedCode(result));
    return nullptr;
  }
  const std::size_t length = bytes[0];
  if (length >= DQUSBDeviceInfoDescriptor::kExtendedLength && done == length) {
    auto descriptor = DQUSBDeviceInfoDescriptor::withIOKitDescriptor(bytes);
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug,
                                 "[DQUSBDeviceInfo] - Got extended device descriptor: bCapabilitiesType: %d, "
                                 "bCapabilitiesLength: %d, wBasicCapabilities: %d, iIPPVersionsSupported: %d, "
                                 "iIPPPrinterUUID: %d",
                                 bytes[4], bytes[5], descriptor->basicCapabilities(),
                                 descriptor->IPPVersionDescriptor(), descriptor->IPPPrinterUUIDDescriptor());
    return descriptor;
  }
  if (length >= DQUSBDeviceInfoDescriptor::kBaseLength && done == length) {
    auto descriptor = DQUSBDeviceInfoDescriptor::withDraftIOKitDescriptor(bytes);
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug,
                                 "[DQUSBDeviceInfo] - Got base device descriptor: bCapabilitiesType: %d, "
                                 "bCapabilitiesLength: %d, wBasicCapabilities: %d,",
                                 bytes[4], bytes[5], descriptor->basicCapabilities());
    return descriptor;
  }
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                               "[DQUSBDeviceInfo] - Retrieve corrupted device request {wLenDone=%d, wLength=%d}", done,
                               bytes.size());
  return nullptr;
}

std::optional<std::string> DQUSBDeviceInfo::deviceIDStringForDevice(const Device& device, std::uint8_t configuration,
                                                                    const DQUSBInterfaceDescriptor& interface,
                                                                    UsbReturn* returnValue) {
  auto data = interfaceDataForDevice(device, configuration, interface, 0, returnValue);
  // Zero bytes at the end are padding (a length that counted its own two
  // bytes), not text.
  while (data && !data->empty() && data->back() == 0) data->pop_back();
  if (!data || data->empty()) return std::nullopt;
  std::string text;
  for (auto byte : *data) appendUtf8(text, byte);  // ASCII; other bytes read as Latin-1
  return text;
}

std::optional<platform::Data> DQUSBDeviceInfo::interfaceDataForDevice(const Device& device,
                                                                      std::uint8_t configuration,
                                                                      const DQUSBInterfaceDescriptor& interface,
                                                                      std::uint8_t request, UsbReturn* returnValue) {
  platform::Data buffer(kFirstBuffer);
  const auto index = static_cast<std::uint16_t>(interface.interfaceNumber() << 8 | interface.alternateSetting());
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::fill(buffer.begin(), buffer.end(), 0);
    std::size_t done = 0;
    const UsbReturn result = deviceRequest(device, {0xA1, request, configuration, index}, buffer, done);
    store(returnValue, result);
    if (result != usbreturn::kSuccess) {
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                   "[DQUSBDeviceInfo] - Failed to perform interface request {err=%d}",
                                   signedCode(result));
      return std::nullopt;
    }
    if (done < 2) return platform::Data{};
    const std::size_t length = static_cast<std::size_t>(buffer[0] << 8 | buffer[1]);
    if (length + 2 <= buffer.size()) {
      // Only what the device sent counts, whatever its length field says.
      const std::size_t count = std::min(length, done - 2);
      return platform::Data(buffer.begin() + 2, buffer.begin() + 2 + static_cast<std::ptrdiff_t>(count));
    }
    buffer.resize(std::min<std::size_t>(length + 2, 0xFFFF));
  }
  return std::nullopt;
}
