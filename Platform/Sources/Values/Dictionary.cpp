#include "Values/Dictionary.h"

namespace platform {
namespace {
// Below this size a linear search beats hashing the key.
constexpr std::size_t kIndexThreshold = 16;
}  // namespace

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& [key, value] : entries) set(key, value);
}

std::ptrdiff_t Dictionary::indexOf(std::string_view key) const {
  if (!index_.empty()) {
    auto it = index_.find(std::string(key));
    return it == index_.end() ? -1 : static_cast<std::ptrdiff_t>(it->second);
  }
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].first == key) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

void Dictionary::rebuildIndex() {
  index_.clear();
  if (entries_.size() <= kIndexThreshold) return;
  index_.reserve(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
}

const Value* Dictionary::find(std::string_view key) const {
  const auto i = indexOf(key);
  return i < 0 ? nullptr : &entries_[static_cast<std::size_t>(i)].second;
}

Value Dictionary::objectForKey(std::string_view key) const {
  const Value* value = find(key);
  return value ? *value : Value();
}

void Dictionary::set(std::string key, Value value) {
  if (value.isNil()) {
    remove(key);
    return;
  }
  const auto i = indexOf(key);
  if (i >= 0) {
    entries_[static_cast<std::size_t>(i)].second = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  if (!index_.empty()) {
    index_.emplace(entries_.back().first, entries_.size() - 1);
  } else if (entries_.size() > kIndexThreshold) {
    rebuildIndex();
  }
}

bool Dictionary::remove(std::string_view key) {
  const auto i = indexOf(key);
  if (i < 0) return false;
  entries_.erase(entries_.begin() + i);
  if (!index_.empty()) rebuildIndex();
  return true;
}

void Dictionary::removeAll() {
  entries_.clear();
  index_.clear();
}

void Dictionary::addEntries(const Dictionary& other) {
  for (const auto& [key, value] : other) set(key, value);
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> result;
  result.reserve(entries_.size());
  for (const auto& entry : entries_) result.push_back(entry.first);
  return result;
}

std::vector<Value> Dictionary::values() const {
  std::vector<Value> result;
  result.reserve(entries_.size());
  for (const auto& entry : entries_) result.push_back(entry.second);
  return result;
}

bool Dictionary::operator==(const Dictionary& other) const {
  if (count() != other.count()) return false;
  for (const auto& [key, value] : entries_) {
    const Value* theirs = other.find(key);
    if (!theirs || !(*theirs == value)) return false;
  }
  return true;
}

}  // namespace platform
