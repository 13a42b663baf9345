#pragma once

#include <cstddef>
#include <limits>
#include <optional>

// What a fetch or a count on the activity store asks for. A plain request
// yields the matching rows, unsorted, seeing the store's unsaved changes. A
// grouped request yields one dictionary per distinct "urlString" (rows
// without one form one group) with the keys "objectID" (the group's row that
// holds the aggregate), "attr_timestamp" (the aggregate) and "urlString",
// ordered by the aggregate; it sees the saved rows only.
struct ALKFetchRequest {
  enum class Function { Min, Max };
  static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

  // "timestamp == %@"; none matches every row.
  std::optional<double> timestamp;
  bool grouped = false;
  Function function = Function::Min;
  bool ascending = true;
  std::size_t offset = 0;
  std::size_t limit = kNoLimit;

  // Whether a row with this timestamp matches the predicate.
  bool matches(double rowTimestamp) const { return !timestamp || *timestamp == rowTimestamp; }
};
