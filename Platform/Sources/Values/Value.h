#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "Values/Date.h"
#include "Values/Number.h"
#include "Values/Object.h"
#include "Values/Url.h"

namespace platform {

class Value;
class Dictionary;
using Array = std::vector<Value>;
using Data = std::vector<std::uint8_t>;

// The explicit null of collections (the platform's NSNull), distinct from nil.
struct Null {
  bool operator==(const Null&) const = default;
};

// One value of a property bag or collection: nil, null, a number, a UTF-8
// string, data, a URL, a date, an array, a dictionary or a reference object.
// Collections and data are shared immutably between copies, so copying a
// Value is cheap; a reference object is shared by pointer as the platform
// shares objects.
class Value {
 public:
  enum class Kind : std::uint8_t { Nil, Null, Number, String, Data, Url, Date, Array, Dictionary, Object };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(Null) : storage_(Null{}) {}
  Value(Number n) : storage_(n) {}
  Value(bool b) : storage_(Number(b)) {}
  template <class T>
    requires(std::is_arithmetic_v<T> && !std::same_as<T, bool> && !std::same_as<T, char>)
  Value(T n) : storage_(Number(n)) {}
  Value(const char* s);
  Value(std::string s) : storage_(std::move(s)) {}
  Value(std::string_view s) : storage_(std::string(s)) {}
  Value(Data d);
  Value(Url u) : storage_(std::make_shared<const Url>(std::move(u))) {}
  Value(Date d) : storage_(d) {}
  Value(Array a);
  Value(Dictionary d);
  Value(ObjectPtr o);
  template <class T>
    requires(std::derived_from<T, Object> && !std::same_as<T, Object>)
  Value(std::shared_ptr<T> o) : Value(std::static_pointer_cast<Object>(std::move(o))) {}

  static Value null() { return Value(Null{}); }

  Kind kind() const { return static_cast<Kind>(storage_.index()); }
  bool isNil() const { return kind() == Kind::Nil; }
  bool isNull() const { return kind() == Kind::Null; }

  // Typed access: nullptr when the value is of another kind.
  const Number* number() const { return std::get_if<Number>(&storage_); }
  const std::string* string() const { return std::get_if<std::string>(&storage_); }
  const Data* data() const;
  const Url* url() const;
  const Date* date() const { return std::get_if<Date>(&storage_); }
  const Array* array() const;
  const Dictionary* dictionary() const;
  const ObjectPtr& object() const;
  template <class T>
  std::shared_ptr<T> objectAs() const {
    return std::dynamic_pointer_cast<T>(object());
  }

  // Conversions as the platform reads numbers and strings, independent of the
  // locale. Strings: boolValue is YES for leading blanks, an optional sign and
  // zeros followed by Y, y, T, t or 1-9; integerValue and doubleValue read the
  // longest numeric prefix. Other kinds read as NO and 0.
  bool boolValue() const;
  std::int64_t integerValue() const;
  // integerValue clamped to the 32-bit range.
  std::int32_t intValue() const;
  double doubleValue() const;
  // A string as it is, a number's description; other kinds give "".
  std::string stringValue() const;

  // The storage that copies of the value share (its data, URL, collection or
  // object), nullptr for a value held in place: two values with the same
  // storage are the same value, not merely equal ones.
  const void* sharedStorage() const;

  bool operator==(const Value& other) const;
  std::size_t hash() const;

  // The longest description; a longer one is cut there and ends in "...".
  static constexpr std::size_t kMaxDescriptionLength = 1u << 20;

  // The text the platform's %@ shows: strings as they are, "(null)" for nil,
  // "<null>" for null, collections in the property-list style; at most
  // kMaxDescriptionLength bytes and the "..." that marks a cut.
  std::string description() const;

 private:
  friend class Dictionary;
  void describe(std::string& out, int indent, bool nested) const;
  // sharedStorage() with a share of its ownership.
  std::shared_ptr<const void> heldStorage() const;

  std::variant<std::monostate, Null, Number, std::string, std::shared_ptr<const Data>,
               std::shared_ptr<const Url>, Date, std::shared_ptr<const Array>,
               std::shared_ptr<const Dictionary>, ObjectPtr>
      storage_;
};

// The conversions of Value on raw text (the platform's NSString rules).
bool stringBoolValue(std::string_view text);
std::int64_t stringIntegerValue(std::string_view text);
// With `end`, the index just past the number read (0 when there is none).
double stringDoubleValue(std::string_view text, std::size_t* end = nullptr);
// The hexadecimal number at the start of the text as the platform's scanner
// reads it: blanks skipped, an optional "0x" or "0X", then at least one hex
// digit; a value past 32 bits saturates at 0xFFFFFFFF. nullopt when there is
// no digit.
std::optional<std::uint32_t> stringHexIntValue(std::string_view text);
// The same number read to 64 bits; past them it saturates at UINT64_MAX.
std::optional<std::uint64_t> stringHexLongLongValue(std::string_view text);

}  // namespace platform

template <>
struct std::hash<platform::Value> {
  std::size_t operator()(const platform::Value& value) const { return value.hash(); }
};
