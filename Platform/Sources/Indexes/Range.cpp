#include "Indexes/Range.h"
#include "System/CompilerWarnings.h"

#include <algorithm>
#include <limits>

namespace platform {

std::size_t Range::max() const {
  const std::size_t limit = std::numeric_limits<std::size_t>::max();
  return length > limit - location ? limit : location + length;
}

Range Range::intersection(const Range& other) const {
  const std::size_t start = std::max(location, other.location);
  const std::size_t end = std::min(max(), other.max());
  if (start >= end) return {};
  return {start, end - start};
}

PT_GCC12_STRING_RESTRICT_BEGIN
std::string Range::description() const {
  return "{" + std::to_string(location) + ", " + std::to_string(length) + "}";
}
PT_GCC12_STRING_RESTRICT_END

}  // namespace platform
