#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A number that remembers whether it was made from a bool, a signed or an
// unsigned integer or a double. Numbers compare and hash by numeric value
// across kinds, so true == 1 == 1u == 1.0.
class Number {
 public:
  enum class Kind : std::uint8_t { Bool, Int, UInt, Double };

  constexpr Number() : kind_(Kind::Int), i_(0) {}
  constexpr Number(bool value) : kind_(Kind::Bool), i_(value ? 1 : 0) {}
  template <std::signed_integral T>
  constexpr Number(T value) : kind_(Kind::Int), i_(value) {}
  template <std::unsigned_integral T>
    requires(!std::same_as<T, bool>)
  constexpr Number(T value) : kind_(Kind::UInt), u_(value) {}
  template <std::floating_point T>
  constexpr Number(T value) : kind_(Kind::Double), d_(static_cast<double>(value)) {}

  Kind kind() const { return kind_; }
  bool isBool() const { return kind_ == Kind::Bool; }
  bool isDouble() const { return kind_ == Kind::Double; }

  bool boolValue() const;
  // Conversions saturate instead of overflowing; NaN reads as 0.
  std::int64_t integerValue() const;
  std::uint64_t unsignedValue() const;
  double doubleValue() const;

  // -1, 0 or 1 by numeric value; NaN sorts below every other number.
  int compare(const Number& other) const;
  bool operator==(const Number& other) const { return compare(other) == 0; }
  std::size_t hash() const;

  // "1" for true, "42", "18446744073709551615", "0.1", "120" for 120.0.
  std::string description() const;

 private:
  Kind kind_;
  union {
    std::int64_t i_;
    std::uint64_t u_;
    double d_;
  };
};

}  // namespace platform
