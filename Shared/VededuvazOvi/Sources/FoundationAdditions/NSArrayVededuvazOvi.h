#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Indexes/IndexSet.h"
#include "Values/Value.h"

// Array operations with the platform's index rules, answering a refusal where
// the platform would raise a range exception.

// Whether `inserted` objects can go into an array of `count` at `indexes`:
// one index for each object, none past the end of the array being built.
inline bool com_zarn_alk_canInsertAtIndexes(std::size_t count, std::size_t inserted,
                                            const platform::IndexSet& indexes) {
  return indexes.count() == inserted && (!indexes.last() || *indexes.last() < count + inserted);
}

// Inserts `objects` into `array` so that they end up at `indexes`, taken in
// ascending order, as the platform's insertObjects:atIndexes: does. False,
// with `array` unchanged, when com_zarn_alk_canInsertAtIndexes refuses.
template <class T>
bool com_zarn_alk_insertObjectsAtIndexes(std::vector<T>& array, const std::vector<T>& objects,
                                         const platform::IndexSet& indexes) {
  if (!com_zarn_alk_canInsertAtIndexes(array.size(), objects.size(), indexes)) return false;
  // Each run of indexes goes in at its place, lowest first; every place lies
  // within the array built so far.
  auto next = objects.begin();
  for (const platform::Range& range : indexes.ranges()) {
    const auto length = static_cast<std::ptrdiff_t>(range.length);
    array.insert(array.begin() + static_cast<std::ptrdiff_t>(range.location), next, next + length);
    next += length;
  }
  return true;
}

// The elements at `indexes`, in index order; nullopt when an index lies past
// the end.
template <class T>
std::optional<std::vector<T>> com_zarn_alk_objectsAtIndexes(const std::vector<T>& array,
                                                            const platform::IndexSet& indexes) {
  if (indexes.last() && *indexes.last() >= array.size()) return std::nullopt;
  std::vector<T> found;
  found.reserve(indexes.count());
  for (const platform::Range& range : indexes.ranges()) {
    found.insert(found.end(), array.begin() + static_cast<std::ptrdiff_t>(range.location),
                 array.begin() + static_cast<std::ptrdiff_t>(range.max()));
  }
  return found;
}

// A list of objects as a log line's %@ shows an array; the text is made only
// when a line is written.
template <class T>
struct ALKArrayDescription {
  const std::vector<std::shared_ptr<T>>& objects;

  std::string description() const {
    platform::Array values(objects.begin(), objects.end());
    return platform::Value(std::move(values)).description();
  }
};
template <class T>
ALKArrayDescription(const std::vector<std::shared_ptr<T>>&) -> ALKArrayDescription<T>;
