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
// read safely: references out of range, cycles, and NUL in dictionary keys.
// The answer is the reason for a refusal, or nullopt when the shape is
// acceptable; the content itself is left to libplist.
class PlistShapeCheck {
 public:
  static std::optional<std::string> checkBinary(std::span<const std::uint8_t> bytes,
                                                const PropertyListLimits& limits);
};

}  // namespace platform
