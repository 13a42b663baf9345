#include "Values/Size.h"

#include <charconv>

#include "Values/Value.h"

namespace platform {
namespace {

void appendNumber(std::string& out, double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

std::string Size::description() const {
  std::string text = "{";
  appendNumber(text, width);
  text += ", ";
  appendNumber(text, height);
  text += '}';
  return text;
}

Size Size::fromString(std::string_view text) {
  double numbers[2] = {0.0, 0.0};
  int found = 0;
  for (std::size_t i = 0; i < text.size() && found < 2;) {
    const char c = text[i];
    const bool mayStart = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    std::size_t end = 0;
    const double number = mayStart ? stringDoubleValue(text.substr(i), &end) : 0.0;
    if (end == 0) {
      ++i;
      continue;
    }
    numbers[found++] = number;
    i += end;
  }
  return Size{numbers[0], numbers[1]};
}

}  // namespace platform
