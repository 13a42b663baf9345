#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "DQUSBDescriptor.h"
#include "DQUSBEndpointDescriptor.h"

// A 9-byte USB interface descriptor (one alternate setting of one interface)
// with the endpoint descriptors that follow it in the configuration.
class DQUSBInterfaceDescriptor : public DQUSBDescriptor {
 public:
  static constexpr std::uint8_t kDescriptorType = 4;
  static constexpr std::size_t kLength = 9;
  // Printer-class interface kinds: class 7, subclass 1; protocol 2 is the
  // bidirectional print interface, protocol 4 IPP over USB.
  static constexpr std::uint8_t kPrinterClass = 7;
  static constexpr std::uint8_t kPrintProtocol = 2;
  static constexpr std::uint8_t kIPPOverUSBProtocol = 4;

  using Endpoints = std::vector<std::shared_ptr<DQUSBEndpointDescriptor>>;

  // nullptr when fewer than 9 bytes are given; bytes past them are ignored.
  static std::shared_ptr<DQUSBInterfaceDescriptor> withIOKitDescriptor(std::span<const std::uint8_t> bytes);
  explicit DQUSBInterfaceDescriptor(std::span<const std::uint8_t, kLength> bytes);

  // "%d-%d-%d" of class, subclass and protocol, e.g. "7-1-2": names the kind
  // of interface, not the interface.
  static std::string interfaceIdentifierForClass(std::uint8_t interfaceClass, std::uint8_t subclass,
                                                 std::uint8_t protocol);

  std::uint8_t descriptorType() const override { return kDescriptorType; }

  std::uint8_t interfaceNumber() const { return interfaceNumber_; }
  std::uint8_t alternateSetting() const { return alternateSetting_; }
  std::uint8_t numberOfEndpoints() const { return numberOfEndpoints_; }
  std::uint8_t interfaceClass() const { return interfaceClass_; }
  std::uint8_t interfaceSubClass() const { return interfaceSubClass_; }
  std::uint8_t interfaceProtocol() const { return interfaceProtocol_; }
  std::uint8_t interfaceStringIndex() const { return interfaceStringIndex_; }

  // Filled while the configuration is parsed; read-only afterwards.
  const Endpoints& endpoints() const { return endpoints_; }
  void setEndpoints(Endpoints endpoints) { endpoints_ = std::move(endpoints); }
  void addEndpoint(std::shared_ptr<DQUSBEndpointDescriptor> endpoint) { endpoints_.push_back(std::move(endpoint)); }

  std::string interfaceIdentifier() const;
  bool isPrintInterface() const;     // 7-1-2
  bool isAirPrintInterface() const;  // 7-1-4

  // "<DQUSBInterfaceDescriptor: 0x…> (#0 alternate 1) - [7-1-4] "
  std::string description() const override;

 private:
  bool isPrinterClass(std::uint8_t protocol) const;

  std::uint8_t interfaceNumber_;
  std::uint8_t alternateSetting_;
  std::uint8_t numberOfEndpoints_;
  std::uint8_t interfaceClass_;
  std::uint8_t interfaceSubClass_;
  std::uint8_t interfaceProtocol_;
  std::uint8_t interfaceStringIndex_;
  Endpoints endpoints_;
};
