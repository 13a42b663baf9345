#include "Values/Dictionary.h"

namespace platform {
namespace {
// Below this size a linear search beats hashing the key.
constexpr std::size_t kIndexThreshold = 16;

std::uint32_t hashOf(std::string_view key) {
  return static_cast<std::uint32_t>(std::hash<std::string_view>()(key));
}
}  // namespace

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& [key, value] : entries) set(key, value);
}

Dictionary::Dictionary(std::vector<Entry> entries) : entries_(std::move(entries)) {
  std::erase_if(entries_, [](const Entry& entry) { return entry.second.isNil(); });
  const std::size_t count = entries_.size();
  if (count > kIndexThreshold) index_.assign(indexSizeFor(count), Slot{});
  std::vector<std::uint32_t> hashes;
  if (!index_.empty()) {
    hashes.reserve(count);
    for (const Entry& entry : entries_) hashes.push_back(hashOf(entry.first));
  }
  // Entries [0, kept) are the distinct keys so far, and the index holds them.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::ptrdiff_t found = -1;
    std::size_t slot = 0;
    if (!index_.empty()) {
      // A key's place is a miss of the cache in a large index: ask for the
      // place of a later key while this one is placed.
      constexpr std::size_t kAhead = 8;
      if (i + kAhead < count) __builtin_prefetch(&index_[hashes[i + kAhead] & (index_.size() - 1)]);
      slot = slotOf(entries_[i].first, hashes[i]);
      found = static_cast<std::ptrdiff_t>(index_[slot].entry) - 1;
    } else {
      for (std::size_t j = 0; j < kept && found < 0; ++j) {
        if (entries_[j].first == entries_[i].first) found = static_cast<std::ptrdiff_t>(j);
      }
    }
    if (found >= 0) {
      entries_[static_cast<std::size_t>(found)].second = std::move(entries_[i].second);
      continue;
    }
    if (kept != i) entries_[kept] = std::move(entries_[i]);
    ++kept;
    if (!index_.empty()) index_[slot] = Slot{hashes[i], static_cast<std::uint32_t>(kept)};
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
  if (kept <= kIndexThreshold) index_.clear();
}

std::size_t Dictionary::slotOf(std::string_view key, std::uint32_t hash) const {
  const std::size_t mask = index_.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const Slot& at = index_[slot];
    if (at.entry == 0 || (at.hash == hash && entries_[at.entry - 1].first == key)) return slot;
  }
}

std::ptrdiff_t Dictionary::indexOf(std::string_view key) const {
  if (!index_.empty()) return static_cast<std::ptrdiff_t>(index_[slotOf(key, hashOf(key))].entry) - 1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].first == key) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

void Dictionary::rebuildIndex() {
  index_.clear();
  if (entries_.size() <= kIndexThreshold) return;
  index_.assign(indexSizeFor(entries_.size()), Slot{});
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    place(Slot{hashOf(entries_[i].first), static_cast<std::uint32_t>(i + 1)});
  }
}

void Dictionary::growIndex() {
  // The places keep their keys' hashes: no key is read or hashed again.
  std::vector<Slot> places(indexSizeFor(entries_.size()));
  places.swap(index_);
  for (const Slot& slot : places) {
    if (slot.entry != 0) place(slot);
  }
}

std::size_t Dictionary::indexSizeFor(std::size_t count) {
  // At most half full, so that a probe ends soon.
  std::size_t size = 4 * kIndexThreshold;
  while (size < 2 * count) size *= 2;
  return size;
}

void Dictionary::place(const Slot& slot) {
  const std::size_t mask = index_.size() - 1;
  std::size_t at = slot.hash & mask;
  while (index_[at].entry != 0) at = (at + 1) & mask;
  index_[at] = slot;
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
  if (!index_.empty()) {
    // One probe finds the key or the place for it.
    const std::uint32_t hash = hashOf(key);
    Slot& slot = index_[slotOf(key, hash)];
    if (slot.entry != 0) {
      entries_[slot.entry - 1].second = std::move(value);
      return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    slot = Slot{hash, static_cast<std::uint32_t>(entries_.size())};
    if (2 * entries_.size() > index_.size()) growIndex();
    return;
  }
  const auto i = indexOf(key);
  if (i >= 0) {
    entries_[static_cast<std::size_t>(i)].second = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  if (entries_.size() > kIndexThreshold) rebuildIndex();
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
