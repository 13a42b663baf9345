#pragma once

#include <algorithm>
#include <atomic>
#include <span>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ALKLogger.h"
#include "IALKLogger.h"

// A logger that keeps every line it is given, for tests to read. Installed
// as the shared logger for the life of a RecordingLoggerScope.
class RecordingLogger : public IALKLogger {
 public:
  struct Line {
    std::string text;  // indentation included
    std::uint64_t level;
  };

  using IALKLogger::logMessageWithFormat;
  void logVerbose(std::string_view message) override { logMessageWithFormat("%@", 4, message); }
  void logInfo(std::string_view message) override { logMessageWithFormat("%@", 3, message); }
  void logWarning(std::string_view message) override { logMessageWithFormat("%@", 2, message); }
  void logError(std::string_view message) override { logMessageWithFormat("%@", 1, message); }
  void logMessageWithFormat(std::string_view format, std::uint64_t level,
                            std::span<const platform::FormatArg> arguments) override {
    std::lock_guard lock(mutex_);
    lines_.push_back({indentation_ + platform::formatArgs(format, arguments), level});
  }
  void increaseLogIndent() override {
    std::lock_guard lock(mutex_);
    indentation_ += "  ";
  }
  void decreaseLogIndent() override {
    std::lock_guard lock(mutex_);
    if (indentation_.size() > 1) indentation_.resize(indentation_.size() - 2);
  }
  void flush() override {}
  std::uint64_t logLevel() const override { return 4; }
  void setLogLevel(std::uint64_t) override {}
  bool wouldLog(std::uint64_t) const override { return enabled_; }

  void setEnabled(bool enabled) { enabled_ = enabled; }
  std::vector<Line> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }
  std::string indentation() const {
    std::lock_guard lock(mutex_);
    return indentation_;
  }
  // Whether some line contains `part`.
  bool contains(const std::string& part) const { return count(part) > 0; }
  std::size_t count(const std::string& part) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const Line& line) {
      return line.text.find(part) != std::string::npos;
    }));
  }

 private:
  mutable std::mutex mutex_;  // guards lines_ and indentation_; any thread
  std::vector<Line> lines_;
  std::string indentation_;
  std::atomic<bool> enabled_{true};
};

class RecordingLoggerScope {
 public:
  RecordingLoggerScope() : logger_(std::make_shared<RecordingLogger>()) { ALKLogger::setSharedLogger(logger_); }
  ~RecordingLoggerScope() { ALKLogger::setSharedLogger(nullptr); }
  RecordingLogger& operator*() const { return *logger_; }
  RecordingLogger* operator->() const { return logger_.get(); }

 private:
  std::shared_ptr<RecordingLogger> logger_;
};
