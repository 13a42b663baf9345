#pragma once

#include <string>

#include "Values/Object.h"
#include "Values/Value.h"

// Turns an activity into its stored form (a keyed archive) and back. It has
// no state and may be used from any thread.
class ALKActivityToDataTransformer : public platform::Object {
 public:
  static bool allowsReverseTransformation() { return true; }
  static std::string transformedValueClass() { return "NSData"; }

  // The keyed archive (data) of an activity; nil for anything else and when
  // the activity cannot be archived, with an ERROR line unless the input was
  // nil.
  platform::Value transformedValue(const platform::Value& value) const;
  // The activity archived in data; nil for anything else, for data that is no
  // keyed archive of allowed classes, and for an archive whose root is no
  // activity, with an ERROR line unless the input was nil.
  platform::Value reverseTransformedValue(const platform::Value& value) const;
};
