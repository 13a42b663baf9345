#include "Values/Value.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "Values/Dictionary.h"

namespace platform {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::size_t skipBlanks(std::string_view text, std::size_t i = 0) {
  while (i < text.size() && isBlank(text[i])) ++i;
  return i;
}

// Whether a nested string shows without quotes in a collection's description.
bool isPlainWord(std::string_view text) {
  if (text.empty()) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return g_ascii_isalnum(c) || c == '_' || c == '.' || c == '$' || c == '/' || c == ':';
  });
}

void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  out += '"';
}

void appendIndent(std::string& out, int indent) { out.append(static_cast<std::size_t>(indent) * 4, ' '); }

const ObjectPtr kNoObject;

// The pairs of collections and objects found equal so far by the comparison
// under way on this thread. A tree may hold one collection at many places (a
// decoded archive shares whatever it refers to many times), and comparing it
// use by use could take as many steps as the tree has paths; with the pairs
// kept, each pair of storages is compared once. A comparison made inside
// another one (an object's isEqual comparing its values) joins it. The pairs
// hold their storages until the outermost comparison ends: values that an
// isEqual builds and drops could otherwise leave their addresses to the next
// ones, which would then pass for equal.
class EqualPairs {
 public:
  EqualPairs() : owner_(current_ == nullptr) {
    if (owner_) current_ = &state_;
  }
  ~EqualPairs() {
    if (owner_) current_ = nullptr;
  }
  EqualPairs(const EqualPairs&) = delete;
  EqualPairs& operator=(const EqualPairs&) = delete;

  bool contains(const void* a, const void* b) const { return current_->pairs.contains({a, b}); }
  void insert(std::shared_ptr<const void> a, std::shared_ptr<const void> b) {
    current_->pairs.insert({a.get(), b.get()});
    current_->held.push_back(std::move(a));
    current_->held.push_back(std::move(b));
  }

 private:
  struct State {
    std::set<std::pair<const void*, const void*>> pairs;
    std::vector<std::shared_ptr<const void>> held;
  };
  static thread_local State* current_;
  bool owner_;
  State state_;
};

thread_local EqualPairs::State* EqualPairs::current_ = nullptr;

}  // namespace

Value::Value(const char* s) {
  if (s) storage_ = std::string(s);
}
Value::Value(Data d) : storage_(std::make_shared<const Data>(std::move(d))) {}
Value::Value(Array a) : storage_(std::make_shared<const Array>(std::move(a))) {}
Value::Value(Dictionary d) : storage_(std::make_shared<const Dictionary>(std::move(d))) {}
Value::Value(ObjectPtr o) {
  if (o) storage_ = std::move(o);
}

const Data* Value::data() const {
  auto p = std::get_if<std::shared_ptr<const Data>>(&storage_);
  return p ? p->get() : nullptr;
}
const Url* Value::url() const {
  auto p = std::get_if<std::shared_ptr<const Url>>(&storage_);
  return p ? p->get() : nullptr;
}
const Array* Value::array() const {
  auto p = std::get_if<std::shared_ptr<const Array>>(&storage_);
  return p ? p->get() : nullptr;
}
const Dictionary* Value::dictionary() const {
  auto p = std::get_if<std::shared_ptr<const Dictionary>>(&storage_);
  return p ? p->get() : nullptr;
}
const ObjectPtr& Value::object() const {
  auto p = std::get_if<ObjectPtr>(&storage_);
  return p ? *p : kNoObject;
}

bool Value::boolValue() const {
  if (auto n = number()) return n->boolValue();
  if (auto s = string()) return stringBoolValue(*s);
  return false;
}

std::int64_t Value::integerValue() const {
  if (auto n = number()) return n->integerValue();
  if (auto s = string()) return stringIntegerValue(*s);
  return 0;
}

std::int32_t Value::intValue() const {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(integerValue(), std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

double Value::doubleValue() const {
  if (auto n = number()) return n->doubleValue();
  if (auto s = string()) return stringDoubleValue(*s);
  return 0.0;
}

std::string Value::stringValue() const {
  if (auto s = string()) return *s;
  if (auto n = number()) return n->description();
  return {};
}

const void* Value::sharedStorage() const { return heldStorage().get(); }

std::shared_ptr<const void> Value::heldStorage() const {
  switch (kind()) {
    case Kind::Data: return std::get<std::shared_ptr<const Data>>(storage_);
    case Kind::Url: return std::get<std::shared_ptr<const Url>>(storage_);
    case Kind::Array: return std::get<std::shared_ptr<const Array>>(storage_);
    case Kind::Dictionary: return std::get<std::shared_ptr<const Dictionary>>(storage_);
    case Kind::Object: return object();
    default: return nullptr;
  }
}

bool Value::operator==(const Value& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::Nil:
    case Kind::Null:
      return true;
    case Kind::Number:
      return *number() == *other.number();
    case Kind::String:
      return *string() == *other.string();
    case Kind::Data:
      return *data() == *other.data();
    case Kind::Url:
      return *url() == *other.url();
    case Kind::Date:
      return *date() == *other.date();
    case Kind::Array:
    case Kind::Dictionary:
    case Kind::Object:
      break;
  }
  const void* mine = sharedStorage();
  const void* theirs = other.sharedStorage();
  if (mine == theirs) return true;
  EqualPairs pairs;
  if (pairs.contains(mine, theirs)) return true;
  const bool equal = array()        ? *array() == *other.array()
                     : dictionary() ? *dictionary() == *other.dictionary()
                                    : objectsEqual(object().get(), other.object().get());
  if (equal) pairs.insert(heldStorage(), other.heldStorage());
  return equal;
}

std::size_t Value::hash() const {
  switch (kind()) {
    case Kind::Nil:
      return 0;
    case Kind::Null:
      return 1;
    case Kind::Number:
      return number()->hash();
    case Kind::String:
      return std::hash<std::string>()(*string());
    case Kind::Data:
      return data()->size();
    case Kind::Url:
      return url()->hash();
    case Kind::Date:
      return date()->hash();
    case Kind::Array:
      return array()->size();
    case Kind::Dictionary:
      return dictionary()->hash();
    case Kind::Object:
      return object()->hash();
  }
  return 0;
}

std::string Value::description() const {
  std::string out;
  describe(out, 0, false);
  if (out.size() > kMaxDescriptionLength) {
    // Cut where a character begins, so that the text stays UTF-8.
    std::size_t cut = kMaxDescriptionLength;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += "...";
  }
  return out;
}

void Value::describe(std::string& out, int indent, bool nested) const {
  // Past the limit nothing more is described, so that a collection sharing
  // its items many times over is never walked in full.
  if (out.size() > kMaxDescriptionLength) return;
  switch (kind()) {
    case Kind::Nil:
      out += "(null)";
      return;
    case Kind::Null:
      out += "<null>";
      return;
    case Kind::Number:
      out += number()->description();
      return;
    case Kind::String:
      if (nested && !isPlainWord(*string())) {
        appendQuoted(out, *string());
      } else {
        out += *string();
      }
      return;
    case Kind::Data: {
      static constexpr char kHex[] = "0123456789abcdef";
      const Data& bytes = *data();
      out += "{length = " + std::to_string(bytes.size()) + ", bytes = 0x";
      const std::size_t shown = std::min<std::size_t>(bytes.size(), 32);
      for (std::size_t i = 0; i < shown; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
      }
      if (shown < bytes.size()) out += "...";
      out += '}';
      return;
    }
    case Kind::Url:
      out += url()->description();
      return;
    case Kind::Date:
      out += date()->description();
      return;
    case Kind::Array: {
      out += "(\n";
      const Array& items = *array();
      for (std::size_t i = 0; i < items.size() && out.size() <= kMaxDescriptionLength; ++i) {
        appendIndent(out, indent + 1);
        items[i].describe(out, indent + 1, true);
        out += i + 1 < items.size() ? ",\n" : "\n";
      }
      appendIndent(out, indent);
      out += ')';
      return;
    }
    case Kind::Dictionary: {
      out += "{\n";
      for (const auto& [key, value] : *dictionary()) {
        if (out.size() > kMaxDescriptionLength) break;
        appendIndent(out, indent + 1);
        if (isPlainWord(key)) {
          out += key;
        } else {
          appendQuoted(out, key);
        }
        out += " = ";
        value.describe(out, indent + 1, true);
        out += ";\n";
      }
      appendIndent(out, indent);
      out += '}';
      return;
    }
    case Kind::Object:
      out += object()->description();
      return;
  }
}

bool stringBoolValue(std::string_view text) {
  std::size_t i = skipBlanks(text);
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  return i < text.size() && std::strchr("YyTt123456789", text[i]) != nullptr && text[i] != '\0';
}

std::int64_t stringIntegerValue(std::string_view text) {
  std::size_t i = skipBlanks(text);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate as a negative number so that INT64_MIN is reachable.
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && g_ascii_isdigit(text[i]); ++i) {
    const int digit = text[i] - '0';
    if (value < (kMin + digit) / 10) {
      overflow = true;
      continue;
    }
    value = value * 10 - digit;
  }
  if (overflow) return negative ? kMin : std::numeric_limits<std::int64_t>::max();
  if (negative) return value;
  return value == kMin ? std::numeric_limits<std::int64_t>::max() : -value;
}

double stringDoubleValue(std::string_view text, std::size_t* end) {
  if (end) *end = 0;
  std::size_t i = skipBlanks(text);
  const std::size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < text.size() && g_ascii_isdigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && g_ascii_isdigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && g_ascii_isdigit(text[j])) {
      while (j < text.size() && g_ascii_isdigit(text[j])) ++j;
      i = j;
    }
  }
  if (end) *end = i;
  const std::string prefix(text.substr(start, i - start));
  return g_ascii_strtod(prefix.c_str(), nullptr);
}

std::optional<std::uint64_t> stringHexLongLongValue(std::string_view text) {
  std::size_t i = skipBlanks(text);
  // "0x" counts as a prefix only when a digit follows; else the 0 is the number.
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      g_ascii_isxdigit(text[i + 2])) {
    i += 2;
  }
  if (i >= text.size() || !g_ascii_isxdigit(text[i])) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (; i < text.size() && g_ascii_isxdigit(text[i]); ++i) {
    value = value > (kMax >> 4) ? kMax : (value << 4) | static_cast<unsigned>(g_ascii_xdigit_value(text[i]));
  }
  return value;
}

std::optional<std::uint32_t> stringHexIntValue(std::string_view text) {
  const auto value = stringHexLongLongValue(text);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(*value, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace platform
