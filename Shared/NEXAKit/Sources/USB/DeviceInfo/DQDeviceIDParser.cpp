#include "DQDeviceIDParser.h"

#include <glib.h>

#include "Values/Value.h"

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr std::size_t kItemLength = 12;  // USB#hh#hh#hh

// Whether `text` starts with an item "USB#hh#hh#hh" (any case); `item`
// receives its three numbers.
bool scanInterfaceItem(std::string_view text, std::uint8_t item[3]) {
  if (text.size() < kItemLength || !equalsIgnoringCase(text.substr(0, 4), "USB#")) return false;
  for (std::size_t field = 0; field < 3; ++field) {
    const std::size_t at = 4 + field * 3;
    if (!g_ascii_isxdigit(text[at]) || !g_ascii_isxdigit(text[at + 1])) return false;
    if (field < 2 && text[at + 2] != '#') return false;
    item[field] = static_cast<std::uint8_t>(g_ascii_xdigit_value(text[at]) << 4 | g_ascii_xdigit_value(text[at + 1]));
  }
  return true;
}

}  // namespace

std::shared_ptr<DQDeviceIDParser> DQDeviceIDParser::parserWithDeviceIDString(std::string_view deviceID) {
  if (deviceID.empty()) return nullptr;
  return std::make_shared<DQDeviceIDParser>(std::string(deviceID));
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
  const std::string_view value = *section;
  for (std::size_t i = 0; i < value.size();) {
    std::uint8_t item[3];
    if (scanInterfaceItem(value.substr(i), item)) {
      locators.push_back(std::make_shared<DQUSBIterfaceLocator>(item[0], item[1], item[2]));
      i += kItemLength;
    } else {
      ++i;
    }
  }
  return locators;
}

std::optional<std::uint32_t> DQDeviceIDParser::hexNumberFromString(std::string_view text) {
  return platform::stringHexIntValue(text);
}
