#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace platform {

// A run of indexes {location, length}, as the platform's NSRange.
struct Range {
  std::size_t location = 0;
  std::size_t length = 0;

  // One past the last index; saturates instead of wrapping.
  std::size_t max() const;
  bool contains(std::size_t index) const { return index >= location && index < max(); }
  // The overlap of two ranges; an empty range at 0 when they do not overlap.
  Range intersection(const Range& other) const;

  bool operator==(const Range&) const = default;
  // "{5, 2}".
  std::string description() const;
};

}  // namespace platform
