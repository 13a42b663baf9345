#include "DQUSBInterfaceDescriptor.h"

#include "DQUSBConstatns.h"
#include "Text/Format.h"

std::shared_ptr<DQUSBInterfaceDescriptor> DQUSBInterfaceDescriptor::withIOKitDescriptor(
    std::span<const std::uint8_t> bytes) {
  return makeFromPrefix<DQUSBInterfaceDescriptor, kLength>(bytes);
}

DQUSBInterfaceDescriptor::DQUSBInterfaceDescriptor(std::span<const std::uint8_t, kLength> bytes)
    : interfaceNumber_(bytes[2]),
      alternateSetting_(bytes[3]),
      numberOfEndpoints_(bytes[4]),
      interfaceClass_(bytes[5]),
      interfaceSubClass_(bytes[6]),
      interfaceProtocol_(bytes[7]),
      interfaceStringIndex_(bytes[8]) {}

std::string DQUSBInterfaceDescriptor::interfaceIdentifierForClass(std::uint8_t interfaceClass, std::uint8_t subclass,
                                                                  std::uint8_t protocol) {
  return platform::format("%d-%d-%d", interfaceClass, subclass, protocol);
}

std::string DQUSBInterfaceDescriptor::interfaceIdentifier() const {
  return interfaceIdentifierForClass(interfaceClass_, interfaceSubClass_, interfaceProtocol_);
}

bool DQUSBInterfaceDescriptor::isPrinterClass(std::uint8_t protocol) const {
  return interfaceClass_ == kPrinterClass && interfaceSubClass_ == DQUSBConstatns::printingSubclass() &&
         interfaceProtocol_ == protocol;
}

bool DQUSBInterfaceDescriptor::isPrintInterface() const { return isPrinterClass(kPrintProtocol); }

bool DQUSBInterfaceDescriptor::isAirPrintInterface() const { return isPrinterClass(kIPPOverUSBProtocol); }

std::string DQUSBInterfaceDescriptor::description() const {
  return platform::format("%@ (#%d alternate %d) - [%d-%d-%d] ", DQUSBDescriptor::description(), interfaceNumber_,
                          alternateSetting_, interfaceClass_, interfaceSubClass_, interfaceProtocol_);
}
