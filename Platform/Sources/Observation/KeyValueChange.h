#pragma once

#include "Indexes/IndexSet.h"
#include "Values/Value.h"

namespace platform {

enum class KeyValueChangeKind { Setting, Insertion, Removal, Replacement };

// One change of an observable property as its observers receive it. The old
// and new values are the whole property before and after the change, as
// valueForKey() answers them (nil where it does not know the key); for an
// insertion, removal or replacement in an array property `indexes` says
// which elements changed. Setting changes have no indexes.
struct KeyValueChange {
  KeyValueChangeKind kind = KeyValueChangeKind::Setting;
  Value oldValue;
  Value newValue;
  IndexSet indexes;
};

}  // namespace platform
