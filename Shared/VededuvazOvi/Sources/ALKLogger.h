#pragma once

#include <memory>

#include "IALKLogger.h"

// The access point of the library's logging: the logger that was installed,
// or else the shared ALKASLLogger.
class ALKLogger {
 public:
  // Never empty. Thread-safe.
  static std::shared_ptr<IALKLogger> sharedLogger();
  // Installs `logger` for every later line; nullptr restores the default.
  // Thread-safe.
  static void setSharedLogger(std::shared_ptr<IALKLogger> logger);

  ALKLogger() = delete;
};
