#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
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
  // Integers read as signed (the binary property-list convention for
  // 8-byte integers), booleans and reals keep their kind.
  static std::optional<Number> numberOf(plist_t node);
  static std::optional<Data> dataOf(plist_t node);
  // A string (as stringOf), number or data node as a value; nil for any
  // other node.
  static Value scalarOf(plist_t node);
  // A UID node, or its spelling in text property lists, {"CF$UID": n}.
  static std::optional<std::uint64_t> uidOf(plist_t node);
  static bool isDictionary(plist_t node) { return node && plist_get_node_type(node) == PLIST_DICT; }
  static bool isArray(plist_t node) { return node && plist_get_node_type(node) == PLIST_ARRAY; }
  // The items of an array node in order (one pass; libplist's indexed access
  // may walk the list).
  static std::vector<plist_t> itemsOf(plist_t array);

  // Building helpers. A string with NUL or invalid UTF-8 cannot be stored,
  // nor can an unsigned integer above INT64_MAX (libplist 2.2 writes every
  // integer in 8 bytes, which readers take as signed): nullptr.
  static plist_t newString(std::string_view text);
  static plist_t newNumber(const Number& number);
  // The tree of a value that the XML form holds (dates in whole seconds
  // within libplist's 32-bit range); nullptr for anything else.
  static plist_t newTree(const Value& value);
  static bool isStorableText(std::string_view text);
  static bool isStorableNumber(const Number& number);

  static constexpr const char* kUidKey = "CF$UID";


 private:
  struct Free {
    void operator()(plist_t node) const { plist_free(node); }
  };
  std::unique_ptr<void, Free> root_;
};

}  // namespace platform
