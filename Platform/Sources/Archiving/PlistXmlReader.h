#pragma once

#include <cstdint>
#include <span>

#include "Archiving/PropertyList.h"
#include "Errors/Error.h"
#include "Values/Value.h"

namespace platform {

// Reads the XML form of a property list in one pass over its text, in time
// linear in its size, without libplist: a value is read as it was written or
// the whole text is refused.
//
// The limits count as the writer's measure of this form does: every element
// is a node, the root <plist> included, and every element that is not empty
// (<true/> and <array/> are) a level of nesting; string and data bytes are
// bounded by the text's size alone. Nothing is fetched or expanded: a
// document type is taken as it is, and an entity declaration or a reference
// to anything but the predefined entities refuses the text.
class PlistXmlReader {
 public:
  // The value; nil with PropertyList::kReadCorruptError and a description of
  // what was refused and at which line when the text is not well-formed XML,
  // not a property list, past the limits, or holds an integer, a real or a
  // date whose text is malformed or that the platform cannot hold.
  static Value read(std::span<const std::uint8_t> bytes, const PropertyListLimits& limits, ErrorPtr* error);
};

}  // namespace platform
