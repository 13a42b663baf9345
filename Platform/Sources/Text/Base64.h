#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Values/Value.h"

namespace platform {

// Base64 of RFC 4648 with the standard alphabet and padding, without line
// breaks.
class Base64 {
 public:
  static std::string encode(const Data& bytes);
  static std::string encode(std::string_view bytes);
  // Strict: nullopt for a character outside the alphabet (white space
  // included), padding anywhere but at the end or a length that is not a
  // multiple of four. "" decodes to no bytes.
  static std::optional<Data> decode(std::string_view text);
};

}  // namespace platform
