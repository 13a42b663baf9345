#include "Indexes/IndexSet.h"
#include "System/CompilerWarnings.h"

#include <algorithm>

namespace platform {

IndexSet::IndexSet(std::initializer_list<std::size_t> indexes) {
  for (std::size_t index : indexes) add(index);
}

IndexSet::IndexSet(Range range) { add(range); }

void IndexSet::add(Range range) {
  if (range.length == 0) return;
  std::size_t start = range.location, end = range.max();
  // Merge every range that overlaps or touches [start, end).
  auto first = std::lower_bound(ranges_.begin(), ranges_.end(), start,
                                [](const Range& r, std::size_t value) { return r.max() < value; });
  auto last = first;
  while (last != ranges_.end() && last->location <= end) {
    start = std::min(start, last->location);
    end = std::max(end, last->max());
    ++last;
  }
  first = ranges_.erase(first, last);
  ranges_.insert(first, Range{start, end - start});
}

void IndexSet::remove(Range range) {
  if (range.length == 0) return;
  const std::size_t start = range.location, end = range.max();
  std::vector<Range> kept;
  kept.reserve(ranges_.size() + 1);
  for (const Range& r : ranges_) {
    if (r.max() <= start || r.location >= end) {
      kept.push_back(r);
      continue;
    }
    if (r.location < start) kept.push_back({r.location, start - r.location});
    if (r.max() > end) kept.push_back({end, r.max() - end});
  }
  ranges_ = std::move(kept);
}

bool IndexSet::contains(std::size_t index) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), index,
                             [](std::size_t value, const Range& r) { return value < r.location; });
  return it != ranges_.begin() && std::prev(it)->contains(index);
}

std::size_t IndexSet::count() const {
  std::size_t total = 0;
  for (const Range& r : ranges_) total += r.length;
  return total;
}

std::optional<std::size_t> IndexSet::first() const {
  if (ranges_.empty()) return std::nullopt;
  return ranges_.front().location;
}

std::optional<std::size_t> IndexSet::last() const {
  if (ranges_.empty()) return std::nullopt;
  return ranges_.back().max() - 1;
}

std::vector<std::size_t> IndexSet::indexes() const {
  std::vector<std::size_t> all;
  for (const Range& r : ranges_) {
    for (std::size_t i = r.location; i < r.max(); ++i) all.push_back(i);
  }
  return all;
}

PT_GCC12_STRING_RESTRICT_BEGIN
std::string IndexSet::description() const {
  std::string text = "[number of indexes: " + std::to_string(count()) + " (in " +
                     std::to_string(ranges_.size()) + " ranges), indexes: (";
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    if (i) text += ' ';
    text += std::to_string(ranges_[i].location);
    if (ranges_[i].length > 1) text += "-" + std::to_string(ranges_[i].max() - 1);
  }
  return text + ")]";
}
PT_GCC12_STRING_RESTRICT_END

}  // namespace platform
