#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ALKPipeline.h"
#include "ALKQueueFilter.h"
#include "ALKTracker.h"
#include "Values/Url.h"

// The Google Analytics back end's tracker operations, registered by
// ALKGoogleAnalyticsBackend: the tracker factory, the pipeline builder and
// the per-stage update. The store form of the pipeline carries a hit
// tracker queue -> write (store) -> read -> send (HTTP) -> remove, the store
// stages on one serial store queue; the memory form is a single send stage.
// The stage that reads first starts suspended: nothing goes out before the
// first dispatch, while the write stage stores at once.
//
// Threads: all on the main thread (the tracker's).
class ALKGATracker {
 public:
  static constexpr const char* kStoreQueueLabel = "com.ZidodidurEro.activityStoreFilter";
  // The pacing honoured at most: one hit a day.
  static constexpr double kMaxDequeueRate = 86400;

  // A tracker with the Google Analytics config, the tracking id and the file
  // of its pending-request store; no directory is touched.
  static std::shared_ptr<ALKTracker> googleAnalyticsTrackerWithTrackingId(const std::string& trackingId);
  // The pipeline of `tracker`: the store form when the store's directory
  // exists or can be made (mode 0700), else the memory form, with a WARNING
  // that names why.
  static std::shared_ptr<ALKPipeline> googleAnalyticsActivityPipeline(ALKTracker& tracker);
  // Paces a send stage by the config's "rateLimit" and sizes the store of a
  // write stage by its "queueLimit".
  static void googleAnalyticsUpdateFilter(ALKTracker& tracker, ALKQueueFilter& filter);

  // "<caches>/<identifier>/<short version>/VededuvazOvi-<type>-<id>.sqlite",
  // the id with "/" and "%" percent-escaped; nullopt, with an ERROR, for an
  // id with NUL and for a caches folder that is not absolute.
  static std::optional<platform::Url> pendingRequestsURL(const std::string& analyticsType,
                                                         const std::string& trackingId);
  // The send-stage pacing for a rate limit in hits per second.
  static double dequeueRateForRateLimit(double rateLimit);

  ALKGATracker() = delete;
};
