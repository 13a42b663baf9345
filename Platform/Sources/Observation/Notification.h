#pragma once

#include <string>

#include "Values/Dictionary.h"

namespace platform {

// What the notification centre hands to its observers. `sender` identifies the
// poster and is only compared, never dereferenced; it may be nullptr.
struct Notification {
  std::string name;
  const void* sender = nullptr;
  Dictionary userInfo;
};

}  // namespace platform
