#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "IDQUSBDeviceIDInformation.h"
#include "Values/Object.h"

// One attached USB printer of the maker.
class IDQUSBDevice {
 public:
  virtual ~IDQUSBDevice() = default;
  virtual bool matchesDevice(const platform::ObjectPtr& other) const = 0;
  virtual void disconnect() = 0;
  virtual bool open() = 0;
  virtual void close() = 0;
  virtual bool isConnected() const = 0;
  virtual bool isZarnDevice() const = 0;
  virtual std::uint16_t productID() const = 0;
  virtual std::optional<std::uint32_t> locationID() const = 0;
  virtual std::optional<std::string> serialNumber() const = 0;
  virtual std::optional<std::string> productName() const = 0;
  virtual std::optional<std::string> manufacturer() const = 0;
  virtual bool isPrintCapable() const = 0;
  virtual bool isScanCapable() const = 0;
  virtual bool isFaxCapable() const = 0;
  virtual bool isAirPrintCapable() const = 0;
  virtual const IDQUSBDeviceIDInformation& deviceIDInfo() const = 0;
  virtual bool isOpened() const = 0;
  virtual bool hasNonAirPrintNEXAInterfaces() const = 0;
  virtual bool hasSeparatePrintInterfaces() const = 0;
};
