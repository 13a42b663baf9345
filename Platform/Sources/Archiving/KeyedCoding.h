#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

class KeyedArchiver;

// The deepest nesting of objects, collections and values that a keyed
// archive may have: the archiver refuses to write deeper, the unarchiver to
// read deeper.
inline constexpr std::size_t kKeyedArchiveMaxDepth = 100;

// An object that can be written into a keyed archive (the encoding half of
// the platform's NSCoding). Decoding is given to the unarchiver class by
// class, so that a reader decodes only the classes it allows.
class KeyedCoding {
 public:
  virtual ~KeyedCoding() = default;

  // The class name recorded for the object, then those of its superclasses,
  // ending with "NSObject": the record's "$classname" and "$classes".
  virtual std::vector<std::string> archivedClassNames() const = 0;
  // Writes the object's state with the archiver's encode calls; called on
  // the archiving thread, once per archive however often it is referenced.
  virtual void encodeWithCoder(KeyedArchiver& archiver) const = 0;
};

}  // namespace platform
