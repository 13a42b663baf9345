#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Values/Value.h"

namespace platform {

// A dictionary with string keys that keeps the order in which keys were first
// inserted. Setting nil removes the key. Equality ignores the order, as the
// platform's dictionaries compare.
class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;

  Dictionary() = default;
  Dictionary(std::initializer_list<Entry> entries);
  // The entries as setting them one after another leaves them (a key given
  // more than once keeps its first place and its last value), with the index
  // built once, at its final size: what a reader of many keys uses. An entry
  // with a nil value is left out; it removes no earlier one.
  explicit Dictionary(std::vector<Entry> entries);

  std::size_t count() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // The value for a key; nullptr (find) or nil (objectForKey) when absent.
  const Value* find(std::string_view key) const;
  Value objectForKey(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  // A new key goes to the end; an existing key keeps its place. Nil removes.
  void set(std::string key, Value value);
  bool remove(std::string_view key);
  void removeAll();
  // Copies every entry of `other`, replacing values of keys present in both.
  void addEntries(const Dictionary& other);

  std::vector<std::string> keys() const;
  std::vector<Value> values() const;
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  bool operator==(const Dictionary& other) const;
  std::size_t hash() const { return entries_.size(); }
  std::string description() const { return Value(*this).description(); }

 private:
  // A place of the index: the low half of a key's hash and its entry's
  // position plus one (0 for an empty place). Eight bytes, so that twice as
  // many places share a cache line; a dictionary holds fewer than 2^32
  // entries long before memory runs out.
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t entry = 0;
  };

  std::ptrdiff_t indexOf(std::string_view key) const;
  // The place of `key` in the index: the one that holds it, or the empty one
  // where it goes.
  std::size_t slotOf(std::string_view key, std::uint32_t hash) const;
  void rebuildIndex();
  // A larger index for the entries, from the places of the one it replaces.
  void growIndex();
  static std::size_t indexSizeFor(std::size_t count);
  // Puts `slot` at the first empty place from its hash on.
  void place(const Slot& slot);

  std::vector<Entry> entries_;
  // Built only for large dictionaries, where a linear search would cost: open
  // addressing over a power of two of places, probed in order, so that a look
  // touches one run of memory rather than a chain of nodes.
  std::vector<Slot> index_;
};

}  // namespace platform
