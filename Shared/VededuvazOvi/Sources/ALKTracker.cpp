#include "ALKTracker.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "ALKAnalyticsRegistry.h"
#include "ALKClient.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "ALKQueue.h"
#include "Errors/AssertionHandler.h"
#include "Dispatch/DispatchQueue.h"

namespace {

const ALKLogSource kTrackerClass = ALKLogSource::forClass("ALKTracker");

// Removes `path` if something is there; false, with `error` set, when that
// fails.
bool removeIfPresent(const std::filesystem::path& path, platform::ErrorPtr& error) {
  std::error_code code;
  std::filesystem::remove(path, code);
  if (!code) return true;
  error = platform::Error::make(platform::Error::kPOSIXErrorDomain, code.value(),
                                platform::Dictionary{{platform::Error::kFilePathKey, path.string()}});
  return false;
}

}  // namespace

ALKTracker::ALKTracker() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
}

ALKTracker::~ALKTracker() {
  try {
    ALKLogIndent indent;
    ALKLog::debug(this, "Dealloc");
    if (!client_.expired()) {
      ALKLog::error(this, "Invalid tracker is still referenced by a client");
      try {
        platform::AssertionHandler::currentHandler()->handleFailureInMethod(
            "dealloc", this, "ALKTracker", __LINE__, "Invalid tracker is still referenced by a client");
      } catch (...) {
        // Reported above; a destructor raises nothing.
      }
    }
    close();
  } catch (...) {
    // Nothing a destructor could do about it.
  }
}

void ALKTracker::sendActivity(const std::shared_ptr<ALKActivity>& activity) {
  ALKLogIndent indent;
  const auto configuration = config();
  if (configuration && configuration->optOut()) {
    ALKLog::info(this, "Ignore send activity. Opt out.");
    return;
  }
  ALKLog::info(this, "Send activity %@", activity);
  updateQueueLimitIfNeeded();
  if (!activity) return;

  auto copy = std::static_pointer_cast<ALKActivity>(activity->copy());
  copy->setTimestamp(ALKActivity::currentTimestamp());
  const auto queue = activityQueue();
  if (!queue) return;
  // The mark goes on the copy being sent, never on an object that a stage may
  // be working on.
  if (sessionRequest_ != SessionRequest::None && queue->canEnqueue()) {
    copy->setValue(sessionRequest_ == SessionRequest::Start ? ALKSessionControlStart : ALKSessionControlEnd,
                   kSessionControlKey);
    sessionRequest_ = SessionRequest::None;
  }
  queue->enqueueObject(std::move(copy));
}

void ALKTracker::dispatch() {
  ALKLogIndent indent;
  const auto configuration = config();
  if (configuration && configuration->optOut()) {
    ALKLog::info(this, "Ignore dispatch. Opt out.");
    return;
  }
  ALKLog::debug(this, "Dispatch: activate pipeline");
  if (const auto activities = pipeline()) {
    activities->setSuspended(false);
    activities->execute();
  }
}

void ALKTracker::resetSessionImmediately(bool start) {
  sessionRequest_ = start ? SessionRequest::Start : SessionRequest::End;
}

bool ALKTracker::hasPendingActivities() const {
  if (!pipeline_) return false;
  const auto& filters = pipeline_->filters();
  if (std::ranges::any_of(filters, [](const auto& filter) { return filter->isExecuting() && !filter->isCancelled(); })) {
    return true;
  }
  // Producers answer from outside memory (the store reader opens the store):
  // the queues are asked first.
  const auto hasInput = [&](bool producers) {
    return std::ranges::any_of(filters, [&](const auto& filter) {
      return (filter->type() == IALKQueueFilter::Type::Producer) == producers && filter->hasInputObjectsAvailable();
    });
  };
  return hasInput(false) || hasInput(true);
}

void ALKTracker::removePendingActivities() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Remove pending activities (remove activity pipeline)");
  // No run may still be using the store, nor a stage keep it open, when its
  // files go.
  if (pipeline_) pipeline_->closeAndDrain(kDrainTimeout);
  dropPipeline();

  const auto configuration = config();
  const auto url = configuration ? configuration->pendingRequestsURL() : std::nullopt;
  if (!url || !url->isFileUrl()) return;
  const std::filesystem::path store = url->filePath();
  std::error_code code;
  if (!std::filesystem::is_regular_file(store, code)) return;
  // The journal files go too, so that a new store at the same path cannot
  // pick up what the old one left in them.
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    platform::ErrorPtr error;
    if (!removeIfPresent(store.string() + suffix, error)) ALKLog::error(this, "Unable to remove the store {%@}", error);
  }
}

void ALKTracker::close() {
  ALKLogIndent indent;
  ALKLog::info(this, "Close");
  // The client may hold the last reference; none is left while the tracker
  // is being destroyed, and then no client holds it either.
  const auto self = std::dynamic_pointer_cast<ALKTracker>(weak_from_this().lock());
  closed_ = true;
  skipCreatingConfig_ = true;
  dropPipeline();
  if (const auto owner = client(); owner && self) owner->removeTracker(self);
  if (config_) setConfig(nullptr);
}

std::shared_ptr<ALKConfig> ALKTracker::config() {
  if (!config_ && !skipCreatingConfig_) {
    ALKLogIndent indent;
    ALKLog::info(this, "Create empty config");
    skipCreatingConfig_ = true;
    config_ = std::make_shared<ALKConfig>();
    config_->setParentConfigProvider(sharedAs<ALKTracker>());
  }
  return config_;
}

void ALKTracker::setConfig(std::shared_ptr<ALKConfig> config) {
  if (config == config_) return;
  ALKLogIndent indent;
  ALKLog::info(this, "Reset config %@ with %@", config_, config);
  if (config_ && config_->parentConfigProvider().lock().get() == this) config_->setParentConfigProvider({});
  config_ = std::move(config);
  if (config_) config_->setParentConfigProvider(sharedAs<ALKTracker>());
  skipCreatingConfig_ = config_ == nullptr;
}

platform::Value ALKTracker::analyticsType() {
  const auto configuration = config();
  return configuration ? configuration->valueForProperty(ALKConfig::kAnalyticsTypeKey) : platform::Value();
}

std::shared_ptr<ALKConfig> ALKTracker::parentConfig() const {
  const auto owner = client();
  return owner ? owner->config() : nullptr;
}

std::shared_ptr<ALKPipeline> ALKTracker::pipeline() {
  if (!pipeline_ && !closed_) {
    pipeline_ = createActivityPipeline();
    if (pipeline_) pipeline_->setDelegate(sharedAs<ALKTracker>());
  }
  return pipeline_;
}

std::shared_ptr<IALKQueue> ALKTracker::activityQueue() {
  const auto activities = pipeline();
  return activities ? activities->firstInputQueue() : nullptr;
}

void ALKTracker::updateQueueLimitIfNeeded() {
  const auto queue = activityQueue();
  if (!queue) return;
  const auto configuration = config();
  const std::size_t limit = configuration ? configuration->queueLimit() : 0;
  if (queue->capacity() == limit) return;
  ALKLogIndent indent;
  ALKLog::debug(this, "Update activity queue limit {%zd}", limit);
  queue->setCapacity(limit);
}

void ALKTracker::updateFilterProperties(ALKQueueFilter& filter) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Update filter properties {%@}", &filter);
  const platform::Value type = analyticsType();
  const auto name = ALKAnalyticsRegistry::derivedName(ALKAnalyticsRegistry::kUpdateFilterTemplate, type);
  if (const auto update = name ? ALKAnalyticsRegistry::shared().entry<FilterUpdate>(*name) : nullptr) {
    update(*this, filter);
  } else {
    ALKLog::debug(this, "No specific method found to update pipeline filter for analytics type %@", type);
  }
  if (filter.propertyForKey(ALKQueueFilter::kConfigKey).isNil()) {
    ALKLog::debug(this, "Copy config.");
    filter.setProperty(platform::Value(ALKConfig::configByAddingPropertiesFromConfig(config())),
                       ALKQueueFilter::kConfigKey);
  }
}

std::shared_ptr<ALKPipeline> ALKTracker::activityPipeline() {
  ALKLog::debug(kTrackerClass, "Create pipeline to log activities");
  auto consumer = ALKQueueFilter::consumerQueueFilterWithInputQueue(
      ALKQueue::queue(), true, platform::DispatchQueue::main(), [](const platform::ObjectPtr& activity) {
        ALKLog::debug(kTrackerClass, "Consumed activity %@", activity);
        return platform::ObjectPtr();
      });
  return ALKPipeline::pipelineWithFilters({std::move(consumer)});
}

std::shared_ptr<ALKPipeline> ALKTracker::createActivityPipeline() {
  ALKLogIndent indent;
  const platform::Value type = analyticsType();
  const auto name = ALKAnalyticsRegistry::derivedName(ALKAnalyticsRegistry::kActivityPipelineTemplate, type);
  std::shared_ptr<ALKPipeline> created;
  if (const auto build = name ? ALKAnalyticsRegistry::shared().entry<PipelineTemplate>(*name) : nullptr) {
    created = build(*this);
  } else {
    ALKLog::debug(this, "No specific template method found to create activity pipeline for analytics type %@", type);
    ALKLog::debug(this, "Create default activity pipeline");
    created = activityPipeline();
  }
  const auto first = created ? created->firstFilter() : nullptr;
  if (!first || !first->isActive()) {
    ALKLog::error(this, "Invalid activity pipeline %@: its first filter must be active", created);
    if (created) created->close();
    return nullptr;
  }
  return created;
}

void ALKTracker::dropPipeline() {
  if (!pipeline_) return;
  const auto dropped = std::move(pipeline_);
  pipeline_ = nullptr;
  dropped->close();
  dropped->setDelegate({});
}

void ALKTracker::notifyClient() {
  if (const auto owner = client()) owner->didChangeTrackerPendingActivities(*this);
}

void ALKTracker::pipelineQueueDidEnqueueObjects(ALKPipeline&, IALKQueue&, const std::vector<platform::ObjectPtr>&) {
  notifyClient();
}

void ALKTracker::pipelineQueueDidDequeueObjects(ALKPipeline&, IALKQueue&, const std::vector<platform::ObjectPtr>&) {
  notifyClient();
}

void ALKTracker::pipelineFilterWillExecute(ALKPipeline&, ALKQueueFilter& filter) { updateFilterProperties(filter); }

void ALKTracker::pipelineFilterDidHalt(ALKPipeline&, ALKQueueFilter&) {
  if (const auto owner = client()) owner->didHaltTrackerPipeline(*this);
}
