#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "DQLog.h"

// Installs a shared logger that records every line for the life of the
// object, then removes it. Lines may come from any thread.
class DQLogCapture {
 public:
  explicit DQLogCapture(int maxLevel = kDQLogLevelDebug) {
    com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger(
        [this](int level, const std::string& message) {
          std::lock_guard lock(mutex_);
          lines_.emplace_back(level, message);
        },
        maxLevel);
  }
  ~DQLogCapture() { com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger(nullptr); }
  DQLogCapture(const DQLogCapture&) = delete;
  DQLogCapture& operator=(const DQLogCapture&) = delete;

  std::vector<std::pair<int, std::string>> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;  // guards lines_
  std::vector<std::pair<int, std::string>> lines_;
};
