#include "DQDeviceIDParser.h"

#include <glib.h>

#include "Values/Value.h"

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view beforeFirstNul(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

std::shared_ptr<DQDeviceIDParser> DQDeviceIDParser::parserWithDeviceIDString(std::string_view deviceID) {
  if (beforeFirstNul(deviceID).empty()) return nullptr;
  return std::make_shared<DQDeviceIDParser>(std::string(deviceID));
}

DQDeviceIDParser::DQDeviceIDParser(std::string deviceID) : deviceID_(std::move(deviceID)) {
  deviceID_.resize(beforeFirstNul(deviceID_).size());
}

const platform::RegularExpression& DQDeviceIDParser::interfaceSpecsParsingExpression() {
  // A function-local static: made once even under concurrent first calls.
  static const platform::RegularExpression expression("USB#([0-9a-f]{2})#([0-9a-f]{2})#([0-9a-f]{2})",
                                                      platform::RegularExpression::kCaseInsensitive);
  return expression;
}

std::optional<std::string> DQDeviceIDParser::modelName() const {
  if (auto model = sectionWithName("MDL:")) return model;
  return sectionWithName("MODEL:");
}

std::optional<std::string> DQDeviceIDParser::sectionWithName(std::string_view name) const {
  const std::string_view text = deviceID_;
  std::size_t field = 0;
  while (field < text.size()) {
    while (field < text.size() && isBlank(text[field])) ++field;
    std::size_t end = text.find(';', field);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view current = text.substr(field, end - field);
    if (current.size() >= name.size() && equalsIgnoringCase(current.substr(0, name.size()), name)) {
      return std::string(current.substr(name.size()));
    }
    field = end + 1;
  }
  return std::nullopt;
}

std::optional<DQDeviceIDParser::Locators> DQDeviceIDParser::NEXAIS() const {
  const auto section = sectionWithName("NEXADIS:");
  if (!section || section->empty()) return std::nullopt;
  Locators locators;
  for (const auto& match : interfaceSpecsParsingExpression().matches(*section)) {
    std::uint8_t item[3];
    for (std::size_t field = 0; field < 3; ++field) {
      // Two hexadecimal digits, as the expression requires.
      item[field] = static_cast<std::uint8_t>(*hexNumberFromString(*match.group(field + 1)));
    }
    locators.push_back(std::make_shared<DQUSBIterfaceLocator>(item[0], item[1], item[2]));
  }
  return locators;
}

std::optional<std::uint32_t> DQDeviceIDParser::hexNumberFromString(std::string_view text) {
  return platform::stringHexIntValue(text);
}
