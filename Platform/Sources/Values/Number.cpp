#include "Values/Number.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>

#include <glib.h>

namespace platform {
namespace {

using Int128 = __int128;

// An integer number as a 128-bit value; exact for every integer kind.
Int128 wide(const Number& n) {
  return n.kind() == Number::Kind::UInt ? static_cast<Int128>(n.unsignedValue())
                                        : static_cast<Int128>(n.integerValue());
}

// Compares a finite or infinite double with an integer exactly.
int compareDoubleWithInteger(double d, Int128 i) {
  constexpr double kTwo65 = 36893488147419103232.0;  // beyond every 64-bit value
  if (d >= kTwo65) return 1;
  if (d <= -kTwo65) return -1;
  const double floored = std::floor(d);
  const Int128 t = static_cast<Int128>(floored);
  if (t != i) return t < i ? -1 : 1;
  return d > floored ? 1 : 0;
}

int compareDoubles(double a, double b) {
  const bool aNaN = std::isnan(a), bNaN = std::isnan(b);
  if (aNaN || bNaN) return aNaN == bNaN ? 0 : (aNaN ? -1 : 1);
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

bool Number::boolValue() const {
  switch (kind_) {
    case Kind::Double:
      return d_ != 0.0 && !std::isnan(d_);
    default:
      return i_ != 0;
  }
}

std::int64_t Number::integerValue() const {
  switch (kind_) {
    case Kind::Bool:
    case Kind::Int:
      return i_;
    case Kind::UInt:
      return u_ > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? std::numeric_limits<std::int64_t>::max()
                 : static_cast<std::int64_t>(u_);
    case Kind::Double:
      if (std::isnan(d_)) return 0;
      if (d_ >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
      if (d_ <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
      return static_cast<std::int64_t>(d_);
  }
  return 0;
}

std::uint64_t Number::unsignedValue() const {
  switch (kind_) {
    case Kind::Bool:
    case Kind::Int:
      // Two's complement, as the platform's unsignedIntegerValue reads it.
      return static_cast<std::uint64_t>(i_);
    case Kind::UInt:
      return u_;
    case Kind::Double:
      if (std::isnan(d_) || d_ <= 0.0) return d_ <= -1.0 ? static_cast<std::uint64_t>(integerValue()) : 0;
      if (d_ >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
      return static_cast<std::uint64_t>(d_);
  }
  return 0;
}

double Number::doubleValue() const {
  switch (kind_) {
    case Kind::Bool:
    case Kind::Int:
      return static_cast<double>(i_);
    case Kind::UInt:
      return static_cast<double>(u_);
    case Kind::Double:
      return d_;
  }
  return 0.0;
}

int Number::compare(const Number& other) const {
  const bool selfDouble = kind_ == Kind::Double, otherDouble = other.kind_ == Kind::Double;
  if (selfDouble && otherDouble) return compareDoubles(d_, other.d_);
  if (selfDouble) {
    if (std::isnan(d_)) return -1;
    return compareDoubleWithInteger(d_, wide(other));
  }
  if (otherDouble) {
    if (std::isnan(other.d_)) return 1;
    return -compareDoubleWithInteger(other.d_, wide(*this));
  }
  const Int128 a = wide(*this), b = wide(other);
  return a < b ? -1 : (a > b ? 1 : 0);
}

std::size_t Number::hash() const {
  Int128 integral = 0;
  bool isIntegral = kind_ != Kind::Double;
  if (isIntegral) {
    integral = wide(*this);
  } else if (std::isfinite(d_) && d_ == std::floor(d_) && std::fabs(d_) < 18446744073709551616.0) {
    integral = static_cast<Int128>(d_);
    isIntegral = true;
  }
  if (isIntegral) {
    const auto low = static_cast<std::uint64_t>(integral);
    const auto high = static_cast<std::uint64_t>(integral >> 64);
    return std::hash<std::uint64_t>()(low ^ (high * 0x9E3779B97F4A7C15ull));
  }
  if (std::isnan(d_)) return 0x7ff8;
  std::uint64_t bits;
  std::memcpy(&bits, &d_, sizeof bits);
  return std::hash<std::uint64_t>()(bits);
}

std::string Number::description() const {
  char buffer[40];
  switch (kind_) {
    case Kind::Bool:
    case Kind::Int:
      return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, i_).ptr);
    case Kind::UInt:
      return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, u_).ptr);
    case Kind::Double:
      if (std::isnan(d_)) return "nan";
      if (std::isinf(d_)) return d_ > 0 ? "inf" : "-inf";
      // The shortest precision that reads back to the same double.
      // Locale-independent: the decimal separator is always '.'.
      for (const char* format : {"%.15g", "%.16g", "%.17g"}) {
        g_ascii_formatd(buffer, sizeof buffer, format, d_);
        if (g_ascii_strtod(buffer, nullptr) == d_) break;
      }
      return buffer;
  }
  return {};
}

}  // namespace platform
