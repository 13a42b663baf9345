#include "Values/Date.h"

#include <cmath>
#include <ctime>
#include <functional>

namespace platform {

Date Date::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return fromTimeIntervalSince1970(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

std::size_t Date::hash() const { return std::hash<double>()(seconds_); }

std::string Date::description() const {
  const double unixSeconds = std::floor(timeIntervalSince1970());
  if (!std::isfinite(unixSeconds) || std::fabs(unixSeconds) > 1e15) return "(invalid date)";
  const auto seconds = static_cast<std::time_t>(unixSeconds);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
  return buffer;
}

}  // namespace platform
