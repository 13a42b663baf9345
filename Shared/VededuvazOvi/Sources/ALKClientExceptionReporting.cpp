// The exception and assertion reports of ALKClient.

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "ALKAnalyticsRegistry.h"
#include "ALKClient.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Dispatch/DispatchQueue.h"
#include "RunLoop/RunLoop.h"

namespace {

const ALKLogSource kClientClass = ALKLogSource::forClass("ALKClient");

// The handler found when tracking was enabled, and whether one was ever
// saved. The mutex serialises enabling and disabling; nothing it guards runs
// under it.
struct SavedUncaughtHandler {
  std::mutex mutex;
  std::function<void(const platform::Exception&)> handler;
  bool saved = false;
};

SavedUncaughtHandler& savedUncaughtHandler() {
  static auto* instance = new SavedUncaughtHandler();  // used until the very end of the process
  return *instance;
}

bool isTrackingHandler(const std::function<void(const platform::Exception&)>& handler) {
  using Function = void (*)(const platform::Exception&);
  const auto* target = handler.target<Function>();
  return target && *target == &ALKUncaughtExceptionHandler;
}

std::string fileName(const std::string& file) { return std::filesystem::path(file).filename().string(); }

}  // namespace

bool ALKClient::tracksUnhandledExceptions() {
  return isTrackingHandler(platform::Exception::uncaughtExceptionHandler());
}

void ALKClient::setTracksUnhandledExceptions(bool enable) {
  ALKLogIndent indent;
  ALKLog::info(kClientClass, "%@ tracking unhandled exceptions", enable ? "Enable" : "Disable");
  auto& saved = savedUncaughtHandler();
  std::lock_guard lock(saved.mutex);
  auto current = platform::Exception::uncaughtExceptionHandler();
  const bool tracking = isTrackingHandler(current);
  if (enable) {
    if (saved.saved && tracking) return;
    saved.handler = std::move(current);
    saved.saved = true;
    ALKLog::debug(kClientClass, "Install uncaught assertion handler");
    platform::Exception::setUncaughtExceptionHandler(ALKUncaughtExceptionHandler);
  } else if (saved.saved && tracking) {
    ALKLog::debug(kClientClass, "Uninstall uncaught assertion handler");
    platform::Exception::setUncaughtExceptionHandler(saved.handler);
  }
}

void ALKUncaughtExceptionHandler(const platform::Exception& exception) {
  const auto report = [exception] {
    const auto client = ALKClient::sharedClient();
    if (client->optOut()) {
      ALKLog::debugInFunction("ALKUncaughtExceptionHandler", "Ignore uncaught exception. Opt out.");
      return;
    }
    client->handleUncaughtException(exception);
  };
  if (platform::DispatchQueue::isMainThread()) {
    report();
    return;
  }
  // The client lives on the main thread; this thread waits for its report,
  // but not for ever: the process is ending.
  struct Reported {
    std::mutex mutex;  // guards done; any thread
    std::condition_variable changed;
    bool done = false;
  };
  const auto reported = std::make_shared<Reported>();
  platform::DispatchQueue::main()->async([report, reported] {
    report();
    std::lock_guard lock(reported->mutex);
    reported->done = true;
    reported->changed.notify_all();
  });
  std::unique_lock lock(reported->mutex);
  reported->changed.wait_for(lock, ALKClient::kReportTimeout * 2, [&] { return reported->done; });
}

void ALKClient::handleUncaughtException(const platform::Exception& exception) {
  ALKLogIndent indent;
  ALKLog::info(this, "Handle uncaught exception {%@}", exception.reason());
  reportFailure(exception.reason(), true);
  // Closing cancels a write that has not run yet: the rows go in first.
  platform::RunLoop::main().runUntil(
      [this] {
        return std::ranges::none_of(trackers_, [](const auto& tracker) {
          const auto queue = tracker->activityQueue();
          return queue && !queue->isEmpty();
        });
      },
      kReportTimeout);
  close();
}

void ALKClient::assertFailureInMethod(const std::string& method, const platform::Object* object, bool raise,
                                      const std::string& file, long line, const std::string& message) {
  ALKLogIndent indent;
  const std::string description = platform::format("Assertion failure in -[%@ %@], %@:%zd",
                                                   object ? object->className() : std::string("(null)"), method,
                                                   fileName(file), line);
  ALKLog::info(this, "Handle assertion failure in method {%@, %@}", message, description);
  reportFailure(description, raise);
}

void ALKClient::assertFailureInFunction(const std::string& function, bool raise, const std::string& file, long line,
                                        const std::string& message) {
  ALKLogIndent indent;
  const std::string description =
      platform::format("Assertion failure in %@([[arg1], ]), %@:%zd", function, fileName(file), line);
  ALKLog::info(this, "Handle assertion failure in function {%@, %@}", message, description);
  reportFailure(description, raise);
}

void ALKClient::reportFailure(const std::string& description, bool fatal) {
  if (!platform::DispatchQueue::isMainThread()) {
    // A worker's run loop may never turn again: the stages the trackers
    // schedule must be scheduled on the main thread.
    platform::DispatchQueue::main()->async(
        [self = sharedAs<ALKClient>(), description, fatal] { self->reportFailure(description, fatal); });
    return;
  }
  const auto activity = createExceptionActivityWithDescription(description, fatal);
  if (!activity) return;
  defaultTracker();
  const auto trackers = trackers_;
  for (const auto& tracker : trackers) tracker->sendActivity(activity);
}

std::shared_ptr<ALKActivity> ALKClient::createExceptionActivityWithDescription(const std::string& description,
                                                                               bool fatal) {
  ALKLogIndent indent;
  const auto configuration = config();
  const platform::Value type =
      configuration ? configuration->valueForProperty(ALKConfig::kAnalyticsTypeKey) : platform::Value();
  const auto name = ALKAnalyticsRegistry::derivedName(ALKAnalyticsRegistry::kExceptionActivityTemplate, type);
  if (const auto factory = name ? ALKAnalyticsRegistry::shared().entry<ExceptionActivityFactory>(*name) : nullptr) {
    return factory(description, fatal);
  }
  ALKLog::debug(this, "No specific activity exception found for analytics type %@", type);
  return nullptr;
}
