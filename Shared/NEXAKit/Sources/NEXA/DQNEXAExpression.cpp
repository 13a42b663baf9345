#include "DQNEXAExpression.h"

#include <array>
#include <cctype>
#include <cstdlib>

#include "DQNEXAResultClass.h"
#include "DQXMLElement.h"
#include "DQXMLNode.h"

using namespace platform;

namespace {

// The length of the white-space or line-end character at the start of
// `text`, 0 when it starts with another one.
std::size_t spaceAtStart(std::string_view text) {
  if (text.empty()) return 0;
  const auto c = static_cast<unsigned char>(text[0]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  static constexpr std::array<std::string_view, 19> kMultiByte = {
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
      "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
      "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (std::string_view space : kMultiByte) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

std::size_t spaceAtEnd(std::string_view text) {
  for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length) {
    if (spaceAtStart(text.substr(text.size() - length)) == length) return length;
  }
  return 0;
}

// Reads the function part token by token.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<std::pair<std::string, std::vector<Value>>> parse() {
    auto selector = value();
    if (!selector || !selector->string()) return std::nullopt;
    std::vector<Value> arguments;
    skipBlanks();
    while (!atEnd()) {
      if (text_[position_] != ',') return std::nullopt;
      ++position_;
      auto argument = value();
      if (!argument) return std::nullopt;
      arguments.push_back(std::move(*argument));
      skipBlanks();
    }
    return std::make_pair(*selector->string(), std::move(arguments));
  }

 private:
  bool atEnd() const { return position_ >= text_.size(); }
  void skipBlanks() {
    while (!atEnd() && std::isspace(static_cast<unsigned char>(text_[position_]))) ++position_;
  }

  std::optional<Value> value() {
    skipBlanks();
    if (atEnd()) return std::nullopt;
    const char c = text_[position_];
    if (c == '\'' || c == '"') return quoted(c);
    if (c == '-' || c == '+' || c == '.' || std::isdigit(static_cast<unsigned char>(c))) return number();
    for (const auto& [word, result] : {std::pair<std::string_view, Value>{"nil", Value()},
                                       {"true", Value(true)}, {"false", Value(false)}}) {
      if (text_.substr(position_).starts_with(word)) {
        position_ += word.size();
        return result;
      }
    }
    return std::nullopt;
  }

  std::optional<Value> quoted(char quote) {
    std::string out;
    for (++position_; !atEnd(); ++position_) {
      char c = text_[position_];
      if (c == quote) {
        ++position_;
        return Value(std::move(out));
      }
      if (c == '\\') {
        if (++position_ >= text_.size()) return std::nullopt;
        c = text_[position_];
        if (c == 'n') c = '\n';
        else if (c == 't') c = '\t';
        else if (c == 'r') c = '\r';
      }
      out.push_back(c);
    }
    return std::nullopt;
  }

  std::optional<Value> number() {
    const std::string rest(text_.substr(position_));
    char* end = nullptr;
    const double parsed = std::strtod(rest.c_str(), &end);
    if (end == rest.c_str()) return std::nullopt;
    position_ += static_cast<std::size_t>(end - rest.c_str());
    return Value(parsed);
  }

  std::string_view text_;
  std::size_t position_ = 0;
};

// The calls every document and node answers.
std::optional<Value> performOnNode(const DQXMLNode& node, std::string_view selector,
                                   const std::vector<Value>& arguments) {
  auto text = [](const std::optional<std::string>& value) { return value ? Value(*value) : Value(); };
  if (arguments.empty()) {
    if (selector == "stringValue") return text(node.stringValue());
    if (selector == "XMLString") return text(node.XMLString());
    if (selector == "name") return text(node.name());
    if (selector == "localName") return text(node.localName());
    if (selector == "XPath") return text(node.XPath());
  }
  if (arguments.size() == 1 && arguments[0].string()) {
    if (selector == "valueOfAttributeForName:") {
      const auto* element = dynamic_cast<const DQXMLElement*>(&node);
      if (!element) return std::nullopt;
      return text(element->valueOfAttributeForName(*arguments[0].string()));
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::pair<std::string, std::vector<Value>>> DQNEXAExpression::parseFunction(
    std::string_view functionPart) {
  return Parser(functionPart).parse();
}

std::optional<Value> DQNEXAExpression::evaluateFunction(const ObjectPtr& target, std::string_view functionPart) {
  auto call = parseFunction(functionPart);
  if (!call || !target) return std::nullopt;
  const auto& [selector, arguments] = *call;
  if (auto* answering = dynamic_cast<IDQNEXASelectorTarget*>(target.get())) {
    if (auto value = answering->perform(selector, arguments)) return value;
  }
  if (const auto* node = dynamic_cast<const DQXMLNode*>(target.get())) return performOnNode(*node, selector, arguments);
  return std::nullopt;
}

std::string DQNEXAExpression::trimmed(std::string_view text) {
  while (std::size_t length = spaceAtStart(text)) text.remove_prefix(length);
  while (std::size_t length = spaceAtEnd(text)) text.remove_suffix(length);
  return std::string(text);
}
