#include "ALKClient.h"

#include <algorithm>

#include "ALKAnalyticsRegistry.h"
#include "ALKGoogleAnalyticsBackend.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "ALKSharedInstance.h"
#include "Errors/AssertionHandler.h"
#include "NSArrayVededuvazOvi.h"
#include "RunLoop/RunLoop.h"

namespace {

constexpr const char* kTrackersKey = "trackers";
constexpr const char* kDefaultTrackerKey = "defaultTracker";
constexpr const char* kClientIdKey = "clientId";

const ALKLogSource kClientClass = ALKLogSource::forClass("ALKClient");

// The process's client, never destroyed, so that the client and its trackers
// outlive the static destructors that run at exit.
ALKSharedInstance<ALKClient>& sharedInstance() {
  static auto* instance = new ALKSharedInstance<ALKClient>;
  return *instance;
}

std::optional<std::string> stringOf(const platform::Value& value) {
  if (const auto* text = value.string()) return *text;
  return std::nullopt;
}

}  // namespace

std::shared_ptr<ALKClient> ALKClient::sharedClient() {
  bool created = false;
  auto client = sharedInstance().get(&created);
  if (created) ALKLog::info(kClientClass, "Created shared client");
  return client;
}

// A last reference goes outside the slot's lock: the client closes.
void ALKClient::resetSharedClient() { sharedInstance().reset(); }

std::shared_ptr<ALKTracker> ALKClient::sharedDefaultTracker() { return sharedClient()->defaultTracker(); }

ALKClient::ALKClient() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
  ALKGoogleAnalyticsBackend::registerBackend();
}

ALKClient::~ALKClient() {
  try {
    ALKLogIndent indent;
    ALKLog::debug(this, "Dealloc");
    close();
  } catch (...) {
    // An observer that raises cannot stop the client from going away.
  }
}

std::shared_ptr<ALKConfig> ALKClient::config() {
  if (!config_ && !skipCreatingConfig_) {
    skipCreatingConfig_ = true;
    config_ = ALKConfig::defaultConfig();
  }
  return config_;
}

void ALKClient::setConfig(std::shared_ptr<ALKConfig> config) {
  if (config == config_) return;
  config_ = std::move(config);
  skipCreatingConfig_ = config_ == nullptr;
}

std::optional<std::string> ALKClient::clientId() {
  const auto configuration = config();
  return configuration ? stringOf(configuration->valueForProperty(kClientIdKey)) : std::nullopt;
}

void ALKClient::setClientId(std::optional<std::string> clientId) {
  if (const auto configuration = config()) {
    configuration->setValue(clientId ? platform::Value(std::move(*clientId)) : platform::Value(), kClientIdKey);
  }
}

std::optional<std::string> ALKClient::trackingId() {
  const auto configuration = config();
  return configuration ? configuration->trackingId() : std::nullopt;
}

void ALKClient::setTrackingId(std::optional<std::string> trackingId) {
  if (const auto configuration = config()) configuration->setTrackingId(std::move(trackingId));
}

bool ALKClient::optOut() {
  const auto configuration = config();
  return configuration && configuration->optOut();
}

void ALKClient::setOptOut(bool optOut) {
  if (const auto configuration = config()) configuration->setOptOut(optOut);
}

std::shared_ptr<ALKTracker> ALKClient::defaultTracker() {
  if (defaultTracker_ || skipCreatingDefaultTracker_) return defaultTracker_;
  std::shared_ptr<ALKTracker> tracker = trackers_.empty() ? nullptr : trackers_.front();
  if (!tracker) {
    ALKLogIndent indent;
    ALKLog::info(this, "Set default tracker.");
    tracker = trackerWithTrackingID(trackingId().value_or(""));
  }
  defaultTracker_ = tracker;  // made lazily: not announced
  return tracker;
}

void ALKClient::setDefaultTracker(std::shared_ptr<ALKTracker> tracker) {
  if (tracker == defaultTracker_) return;
  if (tracker && tracker->client().get() != this) {
    ALKLog::warning(this, "Invalid default tracker %@ to set", tracker);
    return;
  }
  skipCreatingDefaultTracker_ = tracker == nullptr;
  setDefaultTrackerAnnounced(std::move(tracker));
}

void ALKClient::setDefaultTrackerAnnounced(std::shared_ptr<ALKTracker> tracker) {
  willChangeValueForKey(kDefaultTrackerKey);
  defaultTracker_ = std::move(tracker);
  didChangeValueForKey(kDefaultTrackerKey);
}

std::shared_ptr<ALKTracker> ALKClient::trackerWithTrackingID(const std::string& trackingId) {
  if (trackingId.empty()) return nullptr;
  const auto listed = trackers_;
  for (const auto& tracker : listed) {
    const auto configuration = tracker->config();
    if (configuration && configuration->trackingId() == trackingId) return tracker;
  }
  const auto configuration = config();
  auto tracker = createTrackerWithTrackingId(
      trackingId, configuration ? configuration->valueForProperty(ALKConfig::kAnalyticsTypeKey) : platform::Value());
  addTracker(tracker);  // nil is reported to the assertion handler
  return tracker;
}

std::shared_ptr<ALKTracker> ALKClient::createTrackerWithTrackingId(const std::string& trackingId,
                                                                   const platform::Value& analyticsType) {
  if (trackingId.empty()) return nullptr;
  ALKLogIndent indent;
  ALKLog::info(this, "Create tracker");
  const auto name = ALKAnalyticsRegistry::derivedName(ALKAnalyticsRegistry::kTrackerWithTrackingIdTemplate, analyticsType);
  if (const auto factory = name ? ALKAnalyticsRegistry::shared().entry<ALKTracker::Factory>(*name) : nullptr) {
    return factory(trackingId);
  }
  ALKLog::debug(this, "No specific factory method found to create tracker for analytics type %@", analyticsType);
  return nullptr;
}

void ALKClient::addTracker(std::shared_ptr<ALKTracker> tracker) { insertTracker(std::move(tracker), trackers_.size()); }

void ALKClient::insertTracker(std::shared_ptr<ALKTracker> tracker, std::size_t index) {
  ALKLogIndent indent;  // lowered again when the assertion handler raises
  if (!tracker) {
    platform::AssertionHandler::currentHandler()->handleFailureInMethod(
        "insertTracker:atIndex:", this, "ALKClient", __LINE__,
        platform::format("Invalid parameter not satisfying: %@", "aTracker != nil"));
    ALKLog::error(this, "Invalid tracker to insert at position %zd", index);
    return;
  }
  insertTrackers({std::move(tracker)}, platform::IndexSet{index});
}

void ALKClient::insertTrackers(const std::vector<std::shared_ptr<ALKTracker>>& trackers,
                               const platform::IndexSet& indexes) {
  if (trackers.empty()) return;
  ALKLogIndent indent;
  ALKLog::info(this, "Insert trackers %@ at indexes %@", ALKArrayDescription{trackers}, indexes);
  willChange(platform::KeyValueChangeKind::Insertion, indexes, kTrackersKey);

  const bool attached = std::ranges::any_of(trackers, [](const auto& tracker) { return tracker && tracker->client(); });
  if (attached) {
    try {
      platform::AssertionHandler::currentHandler()->handleFailureInMethod(
          "insertTrackers:atIndexes:", this, "ALKClient", __LINE__,
          "Trying to insert tracker of another client.");
    } catch (...) {
      didChange(platform::KeyValueChangeKind::Insertion, {}, kTrackersKey);
      throw;
    }
  }
  const bool hasNil = std::ranges::any_of(trackers, [](const auto& tracker) { return !tracker; });
  std::vector<std::shared_ptr<ALKTracker>> merged = trackers_;
  const bool fits = !attached && !hasNil && com_zarn_alk_insertObjectsAtIndexes(merged, trackers, indexes);
  if (!fits) {
    if (!attached) {
      ALKLog::error(this, "Invalid trackers %@ or indexes %@ to insert. Actual count %zd.",
                    ALKArrayDescription{trackers}, indexes, trackers_.size());
    }
    ALKLog::warning(this, "Skip inserting trackers %@ at indexes %@", ALKArrayDescription{trackers}, indexes);
    didChange(platform::KeyValueChangeKind::Insertion, {}, kTrackersKey);
    return;
  }
  trackers_ = std::move(merged);
  const auto self = std::static_pointer_cast<ALKClient>(shared_from_this());
  for (const auto& tracker : trackers) tracker->setClient(self);
  didInsertTrackers(trackers);
  didChange(platform::KeyValueChangeKind::Insertion, indexes, kTrackersKey);
}

void ALKClient::removeTracker(const std::shared_ptr<ALKTracker>& tracker) {
  const auto found = std::ranges::find(trackers_, tracker);
  if (!tracker || found == trackers_.end()) return;
  removeTrackerAtIndex(static_cast<std::size_t>(found - trackers_.begin()));
}

void ALKClient::removeTrackerAtIndex(std::size_t index) { removeTrackersInRange({index, 1}); }

void ALKClient::removeTrackersInRange(platform::Range range) {
  ALKLogIndent indent;
  ALKLog::info(this, "Remove trackers in range %@", range);
  const platform::Range clipped = platform::Range{0, trackers_.size()}.intersection(range);
  if (clipped.length == 0) return;
  ALKLog::debug(this, "Remove trackers in adjusted range %@", clipped);
  const platform::IndexSet indexes(clipped);
  willChange(platform::KeyValueChangeKind::Removal, indexes, kTrackersKey);
  std::vector<std::shared_ptr<ALKTracker>> removed;  // released after the notices
  for (std::size_t index = clipped.max(); index-- > clipped.location;) {
    trackers_[index]->setClient({});
    removed.push_back(std::move(trackers_[index]));
    trackers_.erase(trackers_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  didRemoveTrackers();
  didChange(platform::KeyValueChangeKind::Removal, indexes, kTrackersKey);
  // The default tracker is one of the list's or none, however it left.
  if (defaultTracker_ && std::ranges::find(removed, defaultTracker_) != removed.end()) {
    ALKLog::info(this, "Remove default tracker");
    setDefaultTrackerAnnounced(nullptr);
  }
}

void ALKClient::didInsertTrackers(const std::vector<std::shared_ptr<ALKTracker>>&) { updateDispatchTimerIfNeeded(); }

void ALKClient::didRemoveTrackers() { updateDispatchTimerIfNeeded(); }

void ALKClient::dispatch() {
  ALKLogIndent indent;
  ALKLog::info(this, "Dispatch");
  defaultTracker();
  const auto listed = trackers_;
  for (const auto& tracker : listed) tracker->dispatch();
  updateDispatchTimerIfNeeded();
}

void ALKClient::close() {
  ALKLogIndent indent;
  ALKLog::info(this, "Close");
  skipCreatingConfig_ = true;
  skipCreatingDefaultTracker_ = true;
  const auto listed = trackers_;
  for (const auto& tracker : listed) {
    tracker->close();
    // A tracker cannot reach a client that is being destroyed: detach it here.
    removeTracker(tracker);
  }
  if (config_) setConfig(nullptr);
  updateDispatchTimerIfNeeded();
}

void ALKClient::didChangeTrackerPendingActivities(ALKTracker& tracker) {
  updateDispatchTimerIfNeeded();
  if (const auto listener = delegate_.lock()) listener->clientDidChangeTrackerPendingActivities(*this, tracker);
}

void ALKClient::didHaltTrackerPipeline(ALKTracker&) {
  if (dispatchTimer_ && !dispatchTimer_->isValid()) dispatchTimer_ = nullptr;
  updateDispatchTimerIfNeeded();
}

void ALKClient::updateDispatchTimerIfNeeded() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Update dispatch timer.");
  const auto listed = trackers_;
  const bool needed = std::ranges::any_of(listed, [](const auto& tracker) {
    if (!tracker->hasPendingActivities()) return false;
    const auto activities = tracker->pipeline();
    return activities && (activities->hasSuspendedFilters() || !activities->hasExecutingFilters());
  });
  if (needed && !dispatchTimer_) {
    const auto configuration = config();
    const double interval = configuration ? configuration->dispatchInterval() : 0.0;
    ALKLog::debug(this, "Detected pending activities. Setup dispatch timer {interval: %f}", interval);
    if (interval > 0) {
      // The timer holds the client weakly: a client that is let go closes at
      // once instead of waiting for its timer.
      std::weak_ptr<platform::Object> weakSelf = weak_from_this();
      dispatchTimer_ = platform::Timer::scheduled(platform::RunLoop::main(), interval, false,
                                                  [weakSelf](platform::Timer& timer) {
                                                    if (const auto self = weakSelf.lock()) {
                                                      static_cast<ALKClient&>(*self).dispatchTimerDidFire(timer);
                                                    }
                                                  });
    }
  } else if (!needed && dispatchTimer_) {
    ALKLog::debug(this, "No pending activities. Remove dispatch timer.");
    dispatchTimer_->invalidate();
    dispatchTimer_ = nullptr;
  }
}

void ALKClient::dispatchTimerDidFire(platform::Timer&) {
  ALKLogIndent indent;
  ALKLog::info(this, "Detected periodic dispatch.");
  dispatch();
}

platform::Value ALKClient::valueForKey(const std::string& key) const {
  if (key == kTrackersKey) return platform::Value(platform::Array(trackers_.begin(), trackers_.end()));
  if (key == kDefaultTrackerKey) return platform::Value(defaultTracker_);
  return KeyValueObservable::valueForKey(key);
}
