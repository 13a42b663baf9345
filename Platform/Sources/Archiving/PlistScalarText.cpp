#include "Archiving/PlistScalarText.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

namespace platform {
namespace {

constexpr std::chrono::sys_days kReferenceDay{std::chrono::year{2001} / std::chrono::January / 1};

constexpr std::int64_t secondsSinceReference(const std::chrono::year_month_day& date) {
  return static_cast<std::int64_t>((std::chrono::sys_days{date} - kReferenceDay).count()) * 86400;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isXmlSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isXmlSpace(text.back())) text.remove_suffix(1);
  return text;
}

// Takes a leading '+' or '-' off `text`; true for '-'.
bool takeSign(std::string_view& text) {
  if (text.empty() || (text.front() != '+' && text.front() != '-')) return false;
  const bool negative = text.front() == '-';
  text.remove_prefix(1);
  return negative;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// Digits with an optional point, at least one digit in all, and an optional
// exponent: the decimal text that from_chars reads, without hexadecimal
// floats, infinities or NaN.
bool isDecimalReal(std::string_view text) {
  std::size_t i = 0;
  std::size_t digits = 0;
  for (; i < text.size() && isDigit(text[i]); ++i) ++digits;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && isDigit(text[i]); ++i) ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t exponent = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    if (i == exponent) return false;
  }
  return i == text.size();
}

}  // namespace

const std::int64_t PlistScalarText::kEarliestSecond =
    secondsSinceReference(std::chrono::year{1} / std::chrono::January / 1);
const std::int64_t PlistScalarText::kLatestSecond =
    secondsSinceReference(std::chrono::year{10000} / std::chrono::January / 1) - 1;

std::optional<std::int64_t> PlistScalarText::wholeSeconds(const Date& date) {
  const double whole = std::floor(date.timeIntervalSinceReferenceDate());
  // NaN fails both comparisons.
  if (!(whole >= static_cast<double>(kEarliestSecond) && whole <= static_cast<double>(kLatestSecond))) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(whole);
}

std::string PlistScalarText::dateText(std::int64_t whole) {
  using namespace std::chrono;
  const sys_seconds time = kReferenceDay + seconds{whole};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::optional<Date> PlistScalarText::dateOf(std::string_view text) {
  using namespace std::chrono;
  std::size_t at = 0;
  // `count` digits at `at`.
  const auto field = [&](std::size_t count) -> std::optional<int> {
    if (text.size() - at < count) return std::nullopt;
    int value = 0;
    for (std::size_t end = at + count; at < end; ++at) {
      if (!isDigit(text[at])) return std::nullopt;
      value = value * 10 + (text[at] - '0');
    }
    return value;
  };
  const auto years = field(4);
  if (!years) return std::nullopt;
  // Month, day, hour, minute and second, each after its separator; a field
  // may be left out only with all those after it.
  int parts[5] = {1, 1, 0, 0, 0};
  constexpr char kSeparators[] = {'-', '-', 'T', ':', ':'};
  for (std::size_t i = 0; i < 5 && at < text.size() && text[at] == kSeparators[i]; ++i) {
    ++at;
    const auto value = field(2);
    if (!value) return std::nullopt;
    parts[i] = *value;
  }
  if (at + 1 != text.size() || text[at] != 'Z') return std::nullopt;
  const year_month_day date{year{*years}, month{static_cast<unsigned>(parts[0])}, day{static_cast<unsigned>(parts[1])}};
  if (*years < 1 || !date.ok() || parts[2] > 23 || parts[3] > 59 || parts[4] > 59) return std::nullopt;
  return Date(static_cast<double>(secondsSinceReference(date) + parts[2] * 3600 + parts[3] * 60 + parts[4]));
}

std::optional<Number> PlistScalarText::integerOf(std::string_view text) {
  text = trimmed(text);
  const bool negative = takeSign(text);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // Unsigned from_chars takes no sign: one after the prefix is refused.
  std::uint64_t magnitude = 0;
  const char* end = text.data() + text.size();
  const auto [stop, failure] = std::from_chars(text.data(), end, magnitude, base);
  if (text.empty() || failure != std::errc() || stop != end) return std::nullopt;
  constexpr auto kMostSigned = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) return magnitude <= kMostSigned ? Number(static_cast<std::int64_t>(magnitude)) : Number(magnitude);
  if (magnitude > kMostSigned + 1) return std::nullopt;
  if (magnitude == kMostSigned + 1) return Number(std::numeric_limits<std::int64_t>::min());
  return Number(-static_cast<std::int64_t>(magnitude));
}

std::optional<double> PlistScalarText::realOf(std::string_view text) {
  text = trimmed(text);
  const bool negative = takeSign(text);
  double value = 0;
  if (equalsIgnoringCase(text, "inf") || equalsIgnoringCase(text, "infinity")) {
    value = std::numeric_limits<double>::infinity();
  } else if (equalsIgnoringCase(text, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
  } else {
    if (!isDecimalReal(text)) return std::nullopt;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (failure != std::errc() || stop != end) return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace platform
