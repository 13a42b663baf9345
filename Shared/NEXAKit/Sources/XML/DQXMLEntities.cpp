#include "DQXMLEntities.h"

#include <glib.h>

#include <cstdint>

namespace {

// The code point of the body of a numeric reference ("#65", "#x41"), or
// nullopt when it is not a Unicode scalar value.
std::optional<std::uint32_t> numericReference(std::string_view body) {
  body.remove_prefix(1);  // '#'
  int base = 10;
  if (!body.empty() && (body.front() == 'x' || body.front() == 'X')) {
    base = 16;
    body.remove_prefix(1);
  }
  if (body.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : body) {
    int digit = base == 16 ? g_ascii_xdigit_value(c) : g_ascii_digit_value(c);
    if (digit < 0) return std::nullopt;
    value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
    if (value > 0x10FFFF) return std::nullopt;
  }
  if (value == 0 || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
  return value;
}

char predefinedEntity(std::string_view name) {
  if (name == "amp") return '&';
  if (name == "lt") return '<';
  if (name == "gt") return '>';
  if (name == "quot") return '"';
  if (name == "apos") return '\'';
  return 0;
}

}  // namespace

std::string DQXMLEscapeEntities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::optional<std::string> DQXMLUnescapeEntities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, amp - i));
    std::size_t semicolon = text.find(';', amp + 1);
    if (semicolon == std::string_view::npos) return std::nullopt;
    std::string_view body = text.substr(amp + 1, semicolon - amp - 1);
    if (!body.empty() && body.front() == '#') {
      auto c = numericReference(body);
      if (!c) return std::nullopt;
      char utf8[6];
      out.append(utf8, static_cast<std::size_t>(g_unichar_to_utf8(*c, utf8)));
    } else if (char c = predefinedEntity(body)) {
      out += c;
    } else {
      out.append(text.substr(amp, semicolon - amp + 1));
    }
    i = semicolon + 1;
  }
  return out;
}
