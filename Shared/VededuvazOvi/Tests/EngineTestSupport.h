#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ALKActivity.h"
#include "ALKAnalyticsRegistry.h"
#include "ALKClient.h"
#include "ALKClock.h"
#include "Errors/AssertionHandler.h"
#include "Dispatch/DispatchQueue.h"
#include "RunLoop/RunLoop.h"

// Turns the main run loop until `done` answers true; the limit only keeps a
// broken test from hanging.
inline bool pumpUntil(const std::function<bool()>& done) {
  return platform::RunLoop::main().runUntil(done, std::chrono::seconds(20));
}

// Runs what the main run loop has ready, until nothing is left.
inline void drainMainRunLoop() {
  while (platform::RunLoop::main().runOnce(false)) {
  }
}

// A clock that tests move by hand. A block scheduled for a time goes to its
// queue once the clock reaches that time. Any thread.
class ManualClock : public ALKClock {
 public:
  platform::DispatchTime now() const override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void performAt(const std::shared_ptr<platform::DispatchQueue>& queue, platform::DispatchTime when,
                 std::function<void()> block) override {
    std::lock_guard lock(mutex_);
    if (when <= now_) {
      queue->async(std::move(block));
    } else {
      waiting_.push_back({when, queue, std::move(block)});
    }
  }
  void advance(double seconds) {
    std::vector<Waiting> due;
    {
      std::lock_guard lock(mutex_);
      now_ = platform::dispatchTime(now_, platform::dispatchDelta(seconds));
      const auto reached = std::stable_partition(waiting_.begin(), waiting_.end(),
                                                 [&](const Waiting& entry) { return entry.when <= now_; });
      due.assign(std::make_move_iterator(waiting_.begin()), std::make_move_iterator(reached));
      waiting_.erase(waiting_.begin(), reached);
    }
    std::ranges::sort(due, {}, &Waiting::when);
    for (auto& entry : due) entry.queue->async(std::move(entry.block));
  }
  std::size_t waitingCount() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
  }
  // When the earliest waiting block is due; 0 when none waits.
  platform::DispatchTime nextWaitingTime() const {
    std::lock_guard lock(mutex_);
    platform::DispatchTime earliest = 0;
    for (const auto& entry : waiting_) earliest = earliest == 0 ? entry.when : std::min(earliest, entry.when);
    return earliest;
  }

 private:
  struct Waiting {
    platform::DispatchTime when;
    std::shared_ptr<platform::DispatchQueue> queue;
    std::function<void()> block;
  };
  mutable std::mutex mutex_;  // guards now_ and waiting_; any thread
  platform::DispatchTime now_ = 1'000'000'000'000;
  std::vector<Waiting> waiting_;
};

// Registers a back-end entry for the life of the scope.
template <class Signature>
class RegistryEntryScope {
 public:
  RegistryEntryScope(std::string name, std::function<Signature> entry) : name_(std::move(name)) {
    ALKAnalyticsRegistry::shared().registerEntry<Signature>(name_, std::move(entry));
  }
  ~RegistryEntryScope() { ALKAnalyticsRegistry::shared().removeEntry(name_); }
  RegistryEntryScope(const RegistryEntryScope&) = delete;
  RegistryEntryScope& operator=(const RegistryEntryScope&) = delete;

 private:
  std::string name_;
};

// An assertion handler that records failures and returns, installed on the
// calling thread for the life of the scope.
class RecordingAssertionHandler : public platform::AssertionHandler {
 public:
  void handleFailureInMethod(const std::string&, const platform::Object*, const std::string& file, long,
                             const std::string& description) override {
    failures.push_back(file + ": " + description);
  }
  std::vector<std::string> failures;
};

class RecordingAssertionHandlerScope {
 public:
  RecordingAssertionHandlerScope() : handler_(std::make_shared<RecordingAssertionHandler>()) {
    platform::AssertionHandler::setCurrentHandler(handler_);
  }
  ~RecordingAssertionHandlerScope() { platform::AssertionHandler::setCurrentHandler(nullptr); }
  const std::vector<std::string>& failures() const { return handler_->failures; }

 private:
  std::shared_ptr<RecordingAssertionHandler> handler_;
};

// An activity of a given type.
inline std::shared_ptr<ALKActivity> activityOfType(const std::string& type) {
  auto activity = std::make_shared<ALKActivity>();
  activity->setValue(type, ALKActivity::kActivityTypeKey);
  return activity;
}

// A tracker whose own configuration holds `trackingId`, as a back end's
// factory makes one.
inline std::shared_ptr<ALKTracker> trackerWithTrackingId(const std::string& trackingId) {
  auto tracker = std::make_shared<ALKTracker>();
  tracker->config()->setTrackingId(trackingId);
  return tracker;
}

// A client of the analytics type `type`, whose trackers come from a factory
// registered for that type; closed at the end of the scope.
class ClientFixture {
 public:
  explicit ClientFixture(const std::string& type = "Logging")
      : factory_(*ALKAnalyticsRegistry::derivedName(ALKAnalyticsRegistry::kTrackerWithTrackingIdTemplate, type),
                 trackerWithTrackingId) {
    client->config()->setAnalyticsType(type);
  }
  ~ClientFixture() {
    client->close();
    drainMainRunLoop();
  }

 private:
  RegistryEntryScope<ALKTracker::Factory> factory_;

 public:
  const std::shared_ptr<ALKClient> client = std::make_shared<ALKClient>();
};
