#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Values/Date.h"
#include "Values/Number.h"

namespace platform {

// The text of numbers and dates in the XML form of a property list: what its
// reader takes and what its writer writes. Text that is no such value, or a
// value that the platform's numbers and dates cannot hold, is nullopt, never
// a value near it.
class PlistScalarText {
 public:
  // The whole seconds since the reference date of the first and the last
  // second that a property list holds: the years 1 to 9999, which other
  // readers take in both forms.
  static const std::int64_t kEarliestSecond;  // 0001-01-01T00:00:00Z
  static const std::int64_t kLatestSecond;    // 9999-12-31T23:59:59Z

  // A date's whole seconds since the reference date, by floor; nullopt for a
  // date outside the years 1 to 9999.
  static std::optional<std::int64_t> wholeSeconds(const Date& date);
  // Whole seconds within that range as "0999-12-31T23:59:58Z".
  static std::string dateText(std::int64_t whole);

  // "YYYY-MM-DDTHH:MM:SSZ" of a valid calendar date of the years 1 to 9999;
  // the trailing fields may be left out from the month on ("2001-02Z"), as
  // they may in ISO 8601.
  static std::optional<Date> dateOf(std::string_view text);
  // Decimal digits, leading zeros included, or hexadecimal ones after "0x",
  // with an optional sign and white space around: an integer from INT64_MIN
  // to UINT64_MAX, signed up to INT64_MAX and unsigned above it.
  static std::optional<Number> integerOf(std::string_view text);
  // A decimal number with an optional point and exponent, or "inf",
  // "infinity" or "nan" in any case, with an optional sign and white space
  // around; nullopt past a double's range.
  static std::optional<double> realOf(std::string_view text);
};

}  // namespace platform
