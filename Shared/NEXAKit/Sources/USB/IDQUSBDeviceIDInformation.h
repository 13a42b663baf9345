#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DQDeviceIDParser.h"

// What a USB printer says of itself in its IEEE 1284 device IDs.
class IDQUSBDeviceIDInformation {
 public:
  virtual ~IDQUSBDeviceIDInformation() = default;
  virtual std::vector<std::string> deviceIDReportedModels() const = 0;
  virtual std::vector<std::string> deviceIDReportedDescriptions() const = 0;
  virtual std::optional<std::string> deviceIDReportedManufacturer() const = 0;
  virtual std::optional<DQDeviceIDParser::Locators> deviceIDReportedNEXAIS() const = 0;
  virtual std::optional<std::string> deviceIDReportedCID() const = 0;
  virtual std::optional<std::string> deviceIDReportedSerialNumber() const = 0;
};
