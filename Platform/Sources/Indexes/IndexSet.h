#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "Indexes/Range.h"

namespace platform {

// An ordered set of indexes kept as sorted, disjoint, non-adjacent ranges.
class IndexSet {
 public:
  IndexSet() = default;
  IndexSet(std::initializer_list<std::size_t> indexes);
  explicit IndexSet(Range range);

  void add(std::size_t index) { add(Range{index, 1}); }
  void add(Range range);
  void remove(std::size_t index) { remove(Range{index, 1}); }
  void remove(Range range);

  bool contains(std::size_t index) const;
  std::size_t count() const;
  bool empty() const { return ranges_.empty(); }
  std::optional<std::size_t> first() const;
  std::optional<std::size_t> last() const;

  const std::vector<Range>& ranges() const { return ranges_; }
  std::vector<std::size_t> indexes() const;

  bool operator==(const IndexSet&) const = default;
  // "[number of indexes: 3 (in 2 ranges), indexes: (1-2 5)]".
  std::string description() const;

 private:
  std::vector<Range> ranges_;
};

}  // namespace platform
