#include "DQLog.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace {

// The one installed logger. Never destroyed, so that lines logged while the
// process exits find a valid slot.
struct SharedLoggerSlot {
  std::mutex mutex;  // guards logger
  std::shared_ptr<const DQSharedLogger> logger;
  std::atomic<int> maxLevel{-1};  // -1: nothing installed
};

SharedLoggerSlot& slot() {
  static auto* instance = new SharedLoggerSlot;
  return *instance;
}

}  // namespace

void com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger(DQSharedLogger logger, int maxLevel) {
  auto& s = slot();
  std::lock_guard lock(s.mutex);
  s.logger = logger ? std::make_shared<const DQSharedLogger>(std::move(logger)) : nullptr;
  s.maxLevel.store(s.logger ? maxLevel : -1);
}

bool com_zarn_NEXAKit_TolvekDQLogWouldLog(int level) { return level <= slot().maxLevel.load(std::memory_order_relaxed); }

void com_zarn_NEXAKit_TolvekDQLogWrite(int level, const std::string& message) {
  std::shared_ptr<const DQSharedLogger> logger;
  {
    auto& s = slot();
    std::lock_guard lock(s.mutex);
    logger = s.logger;
  }
  if (!logger) return;
  try {
    (*logger)(level, message);
  } catch (...) {
    // A failing logger must not take the caller down.
  }
}
