#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The challenges of a "WWW-Authenticate" field (RFC 9110 section 11.6.1),
// read leniently: a challenge is a scheme followed by a token68 or by
// comma-separated parameters; values are quoted strings or run to the next
// comma or blank. Parsing stops at the first thing that fits neither, keeping
// what came before.
class DQAuthenticateHeader {
 public:
  struct Challenge {
    std::string scheme;
    std::optional<std::string> token68;
    std::vector<std::pair<std::string, std::string>> parameters;  // in order; quotes removed

    // The value of a parameter, its name compared ignoring case.
    std::optional<std::string> parameter(std::string_view name) const;
    bool hasScheme(std::string_view name) const;
  };

  static std::vector<Challenge> parse(std::string_view value);
  // The text as a quoted string, with '"' and '\' escaped.
  static std::string quoted(std::string_view text);
};
