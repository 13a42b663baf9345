#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Archiving/PropertyList.h"
#include "Errors/Error.h"
#include "Values/Value.h"

namespace platform {

// The objects of a property list as a value holds them: each shared
// collection and each shared data once, and in the binary form each distinct
// scalar once, with collections referring to their items by index. Making it
// checks that a property list can hold the value and measures what a reader
// gets, the way that reader counts it, without walking every path: a value
// that shares its collections can stand for a tree far larger than itself.
class PropertyListGraph {
 public:
  // The graph of `value` for writing it in `format`; nullopt with
  // PropertyList::kWriteInvalidError for a value that a property list cannot
  // hold (see PropertyList::write) or whose written form a reader with
  // `limits` would refuse: too deep, too many nodes, too many string and data
  // bytes once each reference is written out, or too many bytes. Each bound is
  // counted as that form's reader counts it (the XML form's root element and
  // scalar and key elements, a dictionary's keys, text outside ASCII at three
  // bytes a UTF-16 unit). The graph refers to `value`, which must outlive it.
  static std::optional<PropertyListGraph> make(const Value& value, PropertyListFormat format, ErrorPtr* error,
                                               const PropertyListLimits& limits = {});

  // The property list in the form the graph was made for: "bplist00" with
  // every object once, or XML with each reference written out.
  Data bytes() const;

 private:
  struct Object {
    char kind = 0;                      // 'A' array, 'D' dictionary, 0 a scalar
    const Value* scalar = nullptr;      // a scalar of the value,
    const std::string* key = nullptr;   // or a dictionary's key
    std::vector<std::uint64_t> refs;    // the items; a dictionary's keys, then its values
    std::uint64_t nodes = 1;            // the nodes of its tree, each reference written out
    std::uint64_t payload = 0;          // binary form: its tree's string and data bytes
    std::uint64_t size = 0;             // binary form: its bytes, references aside;
                                        // XML form: its tree's bytes, unindented
    std::uint64_t lines = 0;            // XML form: the lines of its tree, each indented once a level
    std::size_t height = 0;             // the depth of its tree, as its form's reader counts it
  };
  class Builder;

  PropertyListGraph() = default;
  void writeBinary(Data& out) const;
  void writeXml(Data& out, std::uint64_t index, std::size_t depth) const;

  std::vector<Object> objects_;
  std::uint64_t top_ = 0;
  bool binary_ = true;
  std::uint64_t size_ = 0;  // of bytes()
};

}  // namespace platform
