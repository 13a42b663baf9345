#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "Archiving/PropertyList.h"

namespace platform {

// Checks, without recursion and without building anything, that the tree a
// binary property list describes stays within the limits: nesting depth, node
// count and string and data bytes once every reference is expanded (libplist
// copies an object once per reference). It also refuses what libplist cannot
// read safely: references out of range, cycles, NUL in dictionary keys, and
// integers outside INT64_MIN to UINT64_MAX, which libplist would cut to their
// low 64 bits. The answer is the reason for a refusal, or nullopt when the
// shape is acceptable; the content itself is left to libplist.
class PlistShapeCheck {
 public:
  // `aboveInt64Max`, when given, tells whether the tree holds an integer
  // above INT64_MAX (libplist gives its bits, as it gives a negative one's).
  static std::optional<std::string> checkBinary(std::span<const std::uint8_t> bytes,
                                                const PropertyListLimits& limits, bool* aboveInt64Max = nullptr);
};

}  // namespace platform
