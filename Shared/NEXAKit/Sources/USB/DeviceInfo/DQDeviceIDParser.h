#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DQUSBIterfaceLocator.h"
#include "Text/RegularExpression.h"
#include "Values/Object.h"

// One IEEE 1284 device-ID text ("MFG:Maker;MDL:Model 100;CMD:PCL;") and the
// few fields the library reads from it. Immutable; usable from any thread.
// Nothing is cached: every field is looked up on each call.
class DQDeviceIDParser : public platform::Object {
 public:
  using Locators = std::vector<std::shared_ptr<DQUSBIterfaceLocator>>;

  // nullptr for an empty text (or one that begins with NUL); else a parser,
  // even when no key is known.
  static std::shared_ptr<DQDeviceIDParser> parserWithDeviceIDString(std::string_view deviceID);
  // Devices pad the text with NUL bytes: it ends at its first NUL.
  explicit DQDeviceIDParser(std::string deviceID);

  // The text as given, up to its first NUL.
  const std::string& deviceID() const { return deviceID_; }

  std::optional<std::string> modelName() const;  // "MDL:", else "MODEL:"
  std::optional<std::string> deviceDescription() const { return sectionWithName("DES:"); }
  std::optional<std::string> manufacturer() const { return sectionWithName("MFG:"); }
  std::optional<std::string> serialNumber() const { return sectionWithName("SN:"); }
  std::optional<std::string> identifier() const { return sectionWithName("CID:"); }

  // The interfaces named by the "NEXADIS:" field, items "USB#cc#ss#pp" (two
  // hex digits each, any case) in the order written, duplicates kept, other
  // text skipped. nullopt when the field is absent or empty; empty when it
  // holds no well-formed item.
  std::optional<Locators> NEXAIS() const;

  // The value of the field whose key (colon included) is `name`, ignoring
  // case. A key counts only where a field starts: at the start of the text or
  // after ";", blanks skipped. The value runs to the next ";" or, for the last
  // field, to the end of the text; it is returned as it stands.
  std::optional<std::string> sectionWithName(std::string_view name) const;

  // The hexadecimal number at the start of the text (blanks and "0x"
  // accepted); nullopt when there is none.
  static std::optional<std::uint32_t> hexNumberFromString(std::string_view text);

  // The item syntax of "NEXADIS:", "USB#cc#ss#pp" in any case, with the three
  // numbers captured; made on the first call, shared by every parser and
  // only read after that (any thread).
  static const platform::RegularExpression& interfaceSpecsParsingExpression();

 private:
  std::string deviceID_;
};
