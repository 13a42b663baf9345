#include "ALKGATracker.h"

#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "ALKErrors.h"
#include "ALKGAConfig.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "ALKQueue.h"
#include "ALKReadActivityRequestFilter.h"
#include "ALKRemoveActivityRequestFilter.h"
#include "ALKSendMeasurementActivityFilter.h"
#include "ALKWriteActivityRequestFilter.h"
#include "Dispatch/DispatchQueue.h"
#include "System/AppIdentity.h"

namespace {

constexpr const char* kClassName = "ALKGATracker";

// Makes `directory` and its missing parents, each with mode 0700: the store
// holds the client id and the events.
bool makeDirectory(const std::filesystem::path& directory, std::error_code& error) {
  if (std::filesystem::is_directory(directory, error)) return true;
  if (!directory.has_parent_path() || directory.parent_path() == directory ||
      !makeDirectory(directory.parent_path(), error)) {
    return false;
  }
  if (::mkdir(directory.c_str(), 0700) == 0) {
    error.clear();
    return true;
  }
  // Something of that name is there: another process may have made the
  // folder meanwhile, and what is in the way (a symlink loop) reports its own
  // error. Otherwise the error is the mkdir's (no free inodes, no right to
  // write the parent), whatever a look at the missing folder says.
  const int mkdirError = errno;
  if (mkdirError == EEXIST) {
    if (std::filesystem::is_directory(directory, error)) return true;
    if (error) return false;
  }
  error = std::error_code(mkdirError, std::generic_category());
  return false;
}

}  // namespace

std::optional<platform::Url> ALKGATracker::pendingRequestsURL(const std::string& analyticsType,
                                                             const std::string& trackingId) {
  const auto source = ALKLogSource::forClass(kClassName);
  if (trackingId.find('\0') != std::string::npos) {
    ALKLog::error(source, "Refuse tracking id with NUL for the store file name");
    return std::nullopt;
  }
  const auto& identity = platform::AppIdentity::shared();
  if (!identity.hasBundleIdentifier() || !identity.hasShortVersion()) {
    ALKLog::warning(source, "No application identifier or short version; the store folder uses %@/%@",
                    identity.bundleIdentifier(), identity.shortVersion());
  }
  std::string escapedId;
  for (const char c : trackingId) {
    if (c == '/') {
      escapedId += "%2F";
    } else if (c == '%') {
      escapedId += "%25";
    } else {
      escapedId += c;
    }
  }
  const std::filesystem::path path = std::filesystem::path(identity.cachesDirectory()) / identity.bundleIdentifier() /
                                     identity.shortVersion() /
                                     ("VededuvazOvi-" + analyticsType + "-" + escapedId + ".sqlite");
  auto url = platform::Url::fileUrl(path.string());
  if (!url) ALKLog::error(source, "No file URL for the store path, which is not absolute {%@}", path.string());
  return url;
}

std::shared_ptr<ALKTracker> ALKGATracker::googleAnalyticsTrackerWithTrackingId(const std::string& trackingId) {
  auto tracker = std::make_shared<ALKTracker>();
  auto config = ALKGAConfig::googleAnalyticsConfig();
  config->setTrackingId(trackingId);
  tracker->setConfig(config);
  config->setPendingRequestsURL(
      pendingRequestsURL(config->analyticsType().value_or("GoogleAnalytics"), config->trackingId().value_or("")));
  return tracker;
}

std::shared_ptr<ALKPipeline> ALKGATracker::googleAnalyticsActivityPipeline(ALKTracker& tracker) {
  ALKLogIndent indent;
  const auto source = ALKLogSource::forClass(kClassName);
  ALKLog::debug(source, "Create Google Analytics activity pipeline");
  const auto config = tracker.config();
  const auto url = config ? config->pendingRequestsURL() : std::nullopt;
  // Why the store cannot be used; empty when it can.
  std::string unusable;
  if (!url) {
    unusable = "no store URL";
  } else if (!url->isFileUrl()) {
    unusable = "the store URL is not a file URL: " + url->absoluteString();
  } else {
    const std::filesystem::path directory = std::filesystem::path(url->filePath()).parent_path();
    std::error_code error;
    if (std::filesystem::is_directory(directory, error)) {
      // Usable.
    } else if (makeDirectory(directory, error)) {
      ALKLog::info(source, "Did create directory for pending activities {%@}", directory.string());
    } else {
      ALKLog::error(source, "Unable to create directory {%@, %@}", directory.string(), error.message());
      unusable = "the store folder " + directory.string() + " cannot be made: " + error.message();
    }
  }
  const std::weak_ptr<ALKTracker> weakTracker = tracker.sharedAs<ALKTracker>();
  if (unusable.empty()) {
    const auto store = ALKActivityStore::activityStoreWithURL(url);
    const auto storeQueue = platform::DispatchQueue::serial(kStoreQueueLabel);
    const auto queue = ALKQueue::queue();
    const auto sendQueue = ALKQueue::queue();
    const auto removeQueue = ALKQueue::queue();
    auto write = ALKWriteActivityRequestFilter::filterWithActivityStore(store, queue, nullptr, storeQueue);
    auto read = ALKReadActivityRequestFilter::filterWithActivityStore(store, sendQueue, storeQueue);
    auto send = ALKSendMeasurementActivityFilter::filterWithInputQueue(sendQueue, removeQueue, nullptr);
    auto remove = ALKRemoveActivityRequestFilter::filterWithActivityStore(store, removeQueue, nullptr, storeQueue);
    if (!write || !read || !send || !remove) return nullptr;
    read->setCompletionBlock([weakTracker](ALKQueueFilter& filter, const platform::ObjectPtr&,
                                           const platform::ErrorPtr& error) {
      if (!error || error->is(ALKErrorDomain, kALKErrorCannotExecute)) return;
      ALKLog::debug(&filter, "Suspend %@", &filter);
      if (const auto owner = weakTracker.lock()) filter.setSuspended(!owner->hasPendingActivities());
    });
    read->setSuspended(true);
    return ALKPipeline::pipelineWithFilters({write, read, send, remove});
  }
  ALKLog::warning(source, "Run without a store: hits are kept in memory only and are lost at quit {%@}", unusable);
  auto send = ALKSendMeasurementActivityFilter::filterWithInputQueue(ALKQueue::queue(), nullptr, nullptr);
  send->setCompletionBlock([](ALKQueueFilter& filter, const platform::ObjectPtr&, const platform::ErrorPtr& error) {
    if (filter.canProceedWithNextObjectAfterCompletionWithError(error)) return;
    ALKLog::debug(&filter, "Suspend %@", &filter);
    filter.setSuspended(true);
  });
  send->setSuspended(true);
  return ALKPipeline::pipelineWithFilters({send});
}

double ALKGATracker::dequeueRateForRateLimit(double rateLimit) {
  const double rate = std::fabs(rateLimit);
  if (!(rate > 0) || !std::isfinite(rate)) return 0;
  return std::min(1 / rate, kMaxDequeueRate);
}

void ALKGATracker::googleAnalyticsUpdateFilter(ALKTracker& tracker, ALKQueueFilter& filter) {
  const auto config = tracker.config();
  if (!config) return;
  if (auto* send = dynamic_cast<ALKSendMeasurementActivityFilter*>(&filter)) {
    send->setDequeueRate(dequeueRateForRateLimit(config->rateLimit()));
  } else if (auto* write = dynamic_cast<ALKWriteActivityRequestFilter*>(&filter)) {
    // The store belongs to the store queue: the size is set there, before
    // the run that follows, and only when it changed (a block of its own on
    // the store queue before every hit would wake that thread once more).
    const std::size_t limit = config->queueLimit();
    if (write->noteCapacity(limit)) {
      write->executionQueue()->async([store = write->activityStore(), limit] { store->setCapacity(limit); });
    }
  }
}
