#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Values/Object.h"
#include "Values/Value.h"

// The function part of a dependent path expression: a quoted selector and
// its arguments ("'valueOfAttributeForName:', 'href'"), called on the
// dependency's result. Arguments are quoted strings (single or double quotes,
// backslash escapes), numbers, nil, true and false. The text is read as
// literal text, never as a format. Pure; any thread.
class DQNEXAExpression {
 public:
  // The call's value; nullopt when the text does not parse, the result does
  // not know the selector, or the call fails.
  static std::optional<platform::Value> evaluateFunction(const platform::ObjectPtr& target,
                                                         std::string_view functionPart);
  // The parsed selector and arguments; nullopt when the text does not parse.
  static std::optional<std::pair<std::string, std::vector<platform::Value>>> parseFunction(
      std::string_view functionPart);
  // The text without white space and line ends at both ends (Unicode spaces,
  // NEL and the line and paragraph separators included).
  static std::string trimmed(std::string_view text);
};
