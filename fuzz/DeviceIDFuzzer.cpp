// Feeds arbitrary text to the IEEE 1284 device-ID parser.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "DQDeviceIDParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parser =
      DQDeviceIDParser::parserWithDeviceIDString(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parser) return 0;
  parser->modelName();
  parser->manufacturer();
  parser->serialNumber();
  if (const auto section = parser->sectionWithName("DES:")) {
    if (section->size() > size) __builtin_trap();
  }
  if (const auto interfaces = parser->NEXAIS()) {
    if (interfaces->size() > size / 12) __builtin_trap();
  }
  return 0;
}
