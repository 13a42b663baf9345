#include "DQAuthenticateHeader.h"

#include <glib.h>

#include <cstring>

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isTokenChar(char c) {
  return g_ascii_isalnum(c) || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isToken68Char(char c) { return g_ascii_isalnum(c) || (c != 0 && std::strchr("-._~+/", c) != nullptr); }

// A cursor over the field's text.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }
  std::size_t position() const { return pos_; }
  void reset(std::size_t position) { pos_ = position; }

  void skipSpace() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t')) ++pos_;
  }
  // Skips white space and empty list elements.
  void skipSpaceAndCommas() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == ',')) ++pos_;
  }
  bool consume(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  std::string_view token() {
    const std::size_t start = pos_;
    while (!atEnd() && isTokenChar(peek())) ++pos_;
    return text_.substr(start, pos_ - start);
  }
  // An unquoted value: up to the next comma or blank, so that a printer's
  // "realm=Printer/Admin" is read whole.
  std::string_view unquotedValue() {
    const std::size_t start = pos_;
    while (!atEnd() && peek() != ',' && peek() != ' ' && peek() != '\t') ++pos_;
    return text_.substr(start, pos_ - start);
  }
  // A token68: its characters, then any '=' padding, then the end or a comma.
  std::optional<std::string_view> token68() {
    const std::size_t start = pos_;
    while (!atEnd() && isToken68Char(peek())) ++pos_;
    if (pos_ == start) return std::nullopt;
    while (!atEnd() && peek() == '=') ++pos_;
    const std::size_t end = pos_;
    skipSpace();
    if (!atEnd() && peek() != ',') {
      pos_ = start;
      return std::nullopt;
    }
    return text_.substr(start, end - start);
  }
  // A quoted string after its opening quote; none when it is not closed.
  std::optional<std::string> quotedRest() {
    std::string value;
    while (!atEnd()) {
      char c = text_[pos_++];
      if (c == '"') return value;
      if (c == '\\' && !atEnd()) c = text_[pos_++];
      value += c;
    }
    return std::nullopt;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// Reads "name = value" pairs into the challenge until a new scheme, the end,
// or something unreadable. False when the text is unreadable.
bool readParameters(Scanner& scanner, DQAuthenticateHeader::Challenge& challenge) {
  while (true) {
    scanner.skipSpaceAndCommas();
    if (scanner.atEnd()) return true;
    const std::size_t start = scanner.position();
    const std::string_view name = scanner.token();
    if (name.empty()) return false;
    scanner.skipSpace();
    if (!scanner.consume('=')) {
      // A token not followed by '=' begins the next challenge.
      scanner.reset(start);
      return true;
    }
    scanner.skipSpace();
    std::string value;
    if (scanner.consume('"')) {
      auto quoted = scanner.quotedRest();
      if (!quoted) return false;
      value = std::move(*quoted);
    } else {
      value = std::string(scanner.unquotedValue());
    }
    challenge.parameters.emplace_back(std::string(name), std::move(value));
    scanner.skipSpace();
    if (!scanner.atEnd() && scanner.peek() != ',') return false;
  }
}

}  // namespace

std::optional<std::string> DQAuthenticateHeader::Challenge::parameter(std::string_view name) const {
  for (const auto& [key, value] : parameters) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

bool DQAuthenticateHeader::Challenge::hasScheme(std::string_view name) const { return equalsIgnoringCase(scheme, name); }

std::vector<DQAuthenticateHeader::Challenge> DQAuthenticateHeader::parse(std::string_view value) {
  std::vector<Challenge> challenges;
  Scanner scanner(value);
  while (true) {
    scanner.skipSpaceAndCommas();
    if (scanner.atEnd()) break;
    Challenge challenge;
    challenge.scheme = std::string(scanner.token());
    if (challenge.scheme.empty()) break;
    scanner.skipSpace();
    // A token68 and a parameter both begin with token characters; a token68
    // is followed by the end or a comma, a parameter name by '='.
    if (auto token68 = scanner.token68()) {
      challenge.token68 = std::string(*token68);
      challenges.push_back(std::move(challenge));
      continue;
    }
    const bool readable = readParameters(scanner, challenge);
    challenges.push_back(std::move(challenge));
    if (!readable) break;
  }
  return challenges;
}

std::string DQAuthenticateHeader::quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}
