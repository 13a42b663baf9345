// The analytics library driven as the application drives it: the shared
// client, its tracking and client ids, the default tracker, three usage
// events, an immediate dispatch and the close at quit. The trackers here are
// of an analytics type without a pipeline of its own, so every activity goes
// through the default pipeline, which logs it; the log goes to standard
// output.
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "ALKAnalyticsRegistry.h"
#include "ALKClient.h"
#include "ALKLogger.h"
#include "IALKLogger.h"
#include "RunLoop/RunLoop.h"
#include "Text/Uuid.h"

namespace {

// Prints every line at once, indentation first.
class StandardOutputLogger : public IALKLogger {
 public:
  using IALKLogger::logMessageWithFormat;
  void logVerbose(std::string_view message) override { logMessageWithFormat("%@", kALKLogLevelVerbose, message); }
  void logInfo(std::string_view message) override { logMessageWithFormat("%@", kALKLogLevelInfo, message); }
  void logWarning(std::string_view message) override { logMessageWithFormat("%@", kALKLogLevelWarning, message); }
  void logError(std::string_view message) override { logMessageWithFormat("%@", kALKLogLevelError, message); }
  void logMessageWithFormat(std::string_view format, std::uint64_t,
                            std::span<const platform::FormatArg> arguments) override {
    const std::string text = platform::formatArgs(format, arguments);
    std::lock_guard lock(mutex_);
    std::printf("%s%s\n", indentation_.c_str(), text.c_str());
    if (text.find("Consumed activity") != std::string::npos) ++consumed_;
  }
  void increaseLogIndent() override {
    std::lock_guard lock(mutex_);
    indentation_ += "  ";
  }
  void decreaseLogIndent() override {
    std::lock_guard lock(mutex_);
    if (indentation_.size() > 1) indentation_.resize(indentation_.size() - 2);
  }
  void flush() override { std::fflush(stdout); }
  std::uint64_t logLevel() const override { return kALKLogLevelVerbose; }
  void setLogLevel(std::uint64_t) override {}

  int consumed() const {
    std::lock_guard lock(mutex_);
    return consumed_;
  }

 private:
  mutable std::mutex mutex_;  // guards indentation_ and consumed_; any thread
  std::string indentation_;
  int consumed_ = 0;
};

}  // namespace

int main() {
  auto logger = std::make_shared<StandardOutputLogger>();
  ALKLogger::setSharedLogger(logger);
  // The back end of the type "Logging": trackers with their own tracking id.
  ALKAnalyticsRegistry::shared().registerEntry<ALKTracker::Factory>(
      "loggingTrackerWithTrackingId:", [](const std::string& trackingId) {
        auto tracker = std::make_shared<ALKTracker>();
        tracker->config()->setTrackingId(trackingId);
        return tracker;
      });

  const auto client = ALKClient::sharedClient();
  client->config()->setAnalyticsType("Logging");
  client->setTrackingId("UA-10000000-1");
  client->setClientId(platform::Uuid::newString());
  const auto tracker = client->defaultTracker();
  if (!tracker) return 1;
  tracker->config()->setValue(true, "shouldAnonymizeIP");

  const char* events[][2] = {{"Application", "Start"}, {"Application", "LicenceAccepted"}, {"SoftwareDownload", "Download"}};
  for (const auto& [category, action] : events) {
    auto activity = std::make_shared<ALKActivity>();
    activity->setValue("event", ALKActivity::kActivityTypeKey);
    activity->setValue(category, "eventCategory");
    activity->setValue(action, "eventAction");
    tracker->sendActivity(activity);
  }
  client->dispatch();

  const bool done = platform::RunLoop::main().runUntil([&] { return !tracker->hasPendingActivities(); },
                                                       std::chrono::seconds(5));
  client->close();
  ALKClient::resetSharedClient();
  logger->flush();
  ALKLogger::setSharedLogger(nullptr);
  std::printf("%s: %d activities logged\n", done ? "done" : "timed out", logger->consumed());
  return done && logger->consumed() == 3 ? 0 : 1;
}
