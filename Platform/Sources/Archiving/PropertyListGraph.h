#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Archiving/PlistDocument.h"
#include "Errors/Error.h"
#include "Values/Value.h"

namespace platform {

// The objects of a property list as a value holds them, the way the binary
// form stores them: each shared collection once, each distinct scalar once,
// and collections referring to their items by index. Making it checks that a
// property list can hold the value and measures the tree that a reader gets,
// where each reference is written out, without walking every path: a value
// that shares its collections can stand for a tree far larger than itself.
class PropertyListGraph {
 public:
  // The graph of `value` for writing it in `format`; nullopt with
  // PropertyList::kWriteInvalidError for a value that a property list cannot
  // hold (see PropertyList::write) or whose written form the default reader
  // would refuse as too deep or holding too many nodes (dictionary keys count,
  // and the root element of the XML form). The graph refers to `value`, which
  // must outlive it.
  static std::optional<PropertyListGraph> make(const Value& value, PropertyListFormat format, ErrorPtr* error);

  // The binary form ("bplist00"), every object once; for a graph made for it.
  Data binary() const;
  // A libplist tree with each reference written out, for the XML form.
  PlistDocument tree() const;

 private:
  struct Object {
    char kind = 0;                      // 'A' array, 'D' dictionary, 0 a scalar
    const Value* scalar = nullptr;      // a scalar of the value,
    const std::string* key = nullptr;   // or a dictionary's key
    std::string encoded;                // a scalar's binary form, when made for it
    std::vector<std::uint64_t> refs;    // the items; a dictionary's keys, then its values
    std::uint64_t nodes = 1;            // the nodes of its tree, each reference written out
    std::size_t height = 1;             // the depth of its tree
  };
  class Builder;

  PropertyListGraph() = default;
  plist_t node(std::uint64_t index) const;

  std::vector<Object> objects_;
  std::uint64_t top_ = 0;
};

}  // namespace platform
