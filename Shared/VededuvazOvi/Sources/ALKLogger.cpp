#include "ALKLogger.h"

#include <mutex>

#include "ALKASLLogger.h"

namespace {

// The installed logger. Never destroyed, so that objects that log while the
// process exits still find it.
struct InstalledLogger {
  std::mutex mutex;  // guards logger; held only to read or write it, on any thread
  std::shared_ptr<IALKLogger> logger;
};

InstalledLogger& installed() {
  static auto* slot = new InstalledLogger;
  return *slot;
}

}  // namespace

std::shared_ptr<IALKLogger> ALKLogger::sharedLogger() {
  {
    auto& slot = installed();
    std::lock_guard lock(slot.mutex);
    if (slot.logger) return slot.logger;
  }
  return ALKASLLogger::sharedLogger();
}

void ALKLogger::setSharedLogger(std::shared_ptr<IALKLogger> logger) {
  auto& slot = installed();
  std::lock_guard lock(slot.mutex);
  slot.logger = std::move(logger);
}
