#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// Result of a USB host call: 0 for success, else one of the host's 32-bit
// codes below (the values the platform's USB family uses), so that callers can
// compare and log them as they stand.
using UsbReturn = std::uint32_t;

namespace usbreturn {
inline constexpr UsbReturn kSuccess = 0;
inline constexpr UsbReturn kError = 0xE00002BC;             // general failure
inline constexpr UsbReturn kNoDevice = 0xE00002C0;          // the device is gone
inline constexpr UsbReturn kExclusiveAccess = 0xE00002C5;   // held by another client
inline constexpr UsbReturn kUnsupported = 0xE00002C7;
inline constexpr UsbReturn kInternalError = 0xE00002C9;     // malformed or incomplete data
inline constexpr UsbReturn kTimeout = 0xE00002D6;
inline constexpr UsbReturn kNotPermitted = 0xE00002E2;
inline constexpr UsbReturn kAborted = 0xE00002EB;
inline constexpr UsbReturn kNotFound = 0xE00002F0;
inline constexpr UsbReturn kPipeStalled = 0xE000404F;
inline constexpr UsbReturn kTransactionTimeout = 0xE0004051;
}  // namespace usbreturn

// Time-outs of USB transfers and requests. Zero means "none" to the back ends,
// so callers convert with usbMillis(), which never answers zero.
using UsbMillis = std::chrono::milliseconds;

// Seconds to milliseconds, rounded up and at least 1 ms; absurd or negative
// values give the longest wait a transfer takes (one day).
inline UsbMillis usbMillis(double seconds) {
  constexpr double kLongest = 86400.0 * 1000.0;
  double millis = seconds * 1000.0;
  if (!(millis < kLongest)) millis = kLongest;  // also NaN
  if (millis < 1.0) return UsbMillis(1);
  const auto whole = static_cast<std::int64_t>(millis);
  return UsbMillis(static_cast<double>(whole) < millis ? whole + 1 : whole);
}

}  // namespace platform
