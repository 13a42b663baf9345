#pragma once

#include <memory>
#include <string>

#include "Values/Object.h"
#include "Values/Value.h"

class ALKActivity;

// Turns an activity into its stored form (a keyed archive) and back. It has
// no state and may be used from any thread.
class ALKActivityToDataTransformer : public platform::Object {
 public:
  static bool allowsReverseTransformation() { return true; }
  static std::string transformedValueClass() { return "NSData"; }

  // The activity as its archive can hold it: the activity itself when all of
  // its text can be archived, else a copy of its own class in which every
  // string and dictionary key, in nested arrays and dictionaries too, is
  // valid UTF-8 without NUL. Each invalid sequence becomes U+FFFD, as the
  // measurement query escapes it, and so does each NUL, which an archived
  // string cannot hold. The store keeps and hands out this form of a hit, so
  // a later process reads back what this one sends. Values other than text
  // are shared, not copied.
  static std::shared_ptr<ALKActivity> archivableActivity(const std::shared_ptr<ALKActivity>& activity);

  // The keyed archive (data) of an activity; nil for anything else and when
  // the activity cannot be archived, with an ERROR line unless the input was
  // nil.
  platform::Value transformedValue(const platform::Value& value) const;
  // The activity archived in data; nil for anything else, for data that is no
  // keyed archive of allowed classes, and for an archive whose root is no
  // activity, with an ERROR line unless the input was nil.
  platform::Value reverseTransformedValue(const platform::Value& value) const;
};
