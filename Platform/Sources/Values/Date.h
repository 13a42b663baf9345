#pragma once

#include <compare>
#include <cstddef>
#include <string>

namespace platform {

// A point in time as seconds (with the fraction) since the reference date,
// 1 January 2001 00:00:00 UTC.
class Date {
 public:
  // Seconds between 1 January 1970 and the reference date.
  static constexpr double kReferenceDateSince1970 = 978307200.0;

  constexpr Date() = default;
  constexpr explicit Date(double secondsSinceReferenceDate) : seconds_(secondsSinceReferenceDate) {}

  // The wall clock, with sub-second resolution.
  static Date now();
  static Date fromTimeIntervalSince1970(double seconds) { return Date(seconds - kReferenceDateSince1970); }

  double timeIntervalSinceReferenceDate() const { return seconds_; }
  double timeIntervalSince1970() const { return seconds_ + kReferenceDateSince1970; }
  double timeIntervalSince(const Date& other) const { return seconds_ - other.seconds_; }
  Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  auto operator<=>(const Date&) const = default;
  std::size_t hash() const;
  // "2026-12-06 21:32:00 +0000".
  std::string description() const;

 private:
  double seconds_ = 0.0;
};

}  // namespace platform
