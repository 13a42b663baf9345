#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "Errors/Error.h"
#include "Archiving/PropertyList.h"
#include "Values/Value.h"

namespace platform {

// An owned libplist tree. Property lists and keyed archives are built and
// read through it; nothing outside Platform sees libplist.
//
// libplist 2.2 trusts its input more than a reader of damaged files can:
// its binary reader recurses once per nesting level and copies a shared
// object once per reference, so a small file can exhaust the stack or the
// memory. parse() therefore checks the shape of the input (nesting depth,
// nodes and payload after expansion) before libplist sees it. The XML form is
// read by our own reader, and the tree made from its value.
class PlistDocument {
 public:
  // A tree parsed from XML or binary bytes; nullopt with a corrupt-data
  // error (PropertyList::kReadCorruptError) when the bytes are no property list or
  // exceed the limits.
  static std::optional<PlistDocument> parse(std::span<const std::uint8_t> bytes,
                                            const PropertyListLimits& limits, ErrorPtr* error,
                                            PropertyListFormat* format = nullptr);
  // Whether `bytes` are in the binary form ("bplist00"); anything else is
  // read as the XML form.
  static bool isBinary(std::span<const std::uint8_t> bytes);

  // Takes ownership of `root` (may be null).
  explicit PlistDocument(plist_t root = nullptr) : root_(root) {}
  PlistDocument(PlistDocument&&) = default;
  PlistDocument& operator=(PlistDocument&&) = default;

  plist_t root() const { return root_.get(); }
  // Gives up ownership.
  plist_t release() { return root_.release(); }

  // The tree as bytes (an invalid-value error for an empty document).
  std::optional<Data> serialize(PropertyListFormat format, ErrorPtr* error) const;

  // Reading helpers that never trust a node's kind.
  // The text of a string node when it is valid UTF-8 without NUL.
  static std::optional<std::string> stringOf(plist_t node);
  // A number node of this document: booleans and reals keep their kind;
  // integers read as signed (8-byte integers of the binary form are), but
  // one above INT64_MAX, which the binary form holds in 16 bytes, as
  // unsigned.
  std::optional<Number> numberOf(plist_t node) const;
  static std::optional<Data> dataOf(plist_t node);
  // A string (as stringOf), number (as numberOf) or data node as a value;
  // nil for any other node.
  Value scalarOf(plist_t node) const;
  // A UID node, or its spelling in text property lists, {"CF$UID": n}.
  static std::optional<std::uint64_t> uidOf(plist_t node);
  static bool isDictionary(plist_t node) { return node && plist_get_node_type(node) == PLIST_DICT; }
  static bool isArray(plist_t node) { return node && plist_get_node_type(node) == PLIST_ARRAY; }
  // The items of an array node in order (one pass; libplist's indexed access
  // may walk the list).
  static std::vector<plist_t> itemsOf(plist_t array);

  // Building helpers. A string with NUL or invalid UTF-8 cannot be stored:
  // nullptr.
  static plist_t newString(std::string_view text);
  static bool isStorableText(std::string_view text);

  static constexpr const char* kUidKey = "CF$UID";

 private:
  struct Free {
    void operator()(plist_t node) const { plist_free(node); }
  };
  // The tree of a value that the XML form holds (dates in whole seconds
  // within libplist's 32-bit range), keeping its integers above INT64_MAX;
  // nullptr for anything else.
  plist_t newTree(const Value& value);

  std::unique_ptr<void, Free> root_;
  // The integers above INT64_MAX, by node (of the binary form from the
  // file's own bytes): libplist gives an integer node as 64 bits, which
  // cannot tell such an integer of 16 bytes from a negative one of 8.
  std::unordered_map<plist_t, Number> aboveInt64Max_;
};

}  // namespace platform
