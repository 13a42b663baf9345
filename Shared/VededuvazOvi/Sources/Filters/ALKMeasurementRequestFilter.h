#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ALKActivity.h"
#include "ALKClock.h"
#include "ALKConfig.h"
#include "Errors/Error.h"

// The HTTP request of one measurement hit, handed to the transport: a GET
// with the query in the URL, or a POST to the bare endpoint with the query as
// its body.
struct ALKHitRequest {
  std::string url;
  std::string method;  // "GET" or "POST"
  std::string body;    // a POST's form-encoded query
  double timeout = 0;  // seconds for the whole exchange, always > 0
};

// Turns an activity into the request of its hit: completes it from the
// config (default-activity gaps, protocol version, anonymization, client id,
// tracking id, cache buster), stamps its queue time, builds its query and
// chooses GET or POST by the length of the URL. The activity handed in is
// never changed: a copy is made on the first write. Class operations only,
// without state, on the caller's thread; the queue time and the cache buster
// read the wall time of `clock`.
class ALKMeasurementRequestFilter {
 public:
  // The completed activity: a copy when anything was added, else `activity`.
  static std::shared_ptr<ALKActivity> preparedActivityForActivity(const std::shared_ptr<ALKActivity>& activity,
                                                                 const std::shared_ptr<ALKConfig>& config,
                                                                 const ALKClock& clock = ALKClock());
  // The request for a completed activity, or nullopt: with the query's error,
  // or without an error when the endpoint is no usable http or https URL.
  // `actualActivity` receives the activity that was encoded (also on
  // failure); both out-parameters are optional.
  static std::optional<ALKHitRequest> preparedURLRequestForActivity(const std::shared_ptr<ALKActivity>& prepared,
                                                                    const std::shared_ptr<ALKConfig>& config,
                                                                    std::shared_ptr<ALKActivity>* actualActivity,
                                                                    platform::ErrorPtr* error,
                                                                    const ALKClock& clock = ALKClock());
  // The two in sequence.
  static std::optional<ALKHitRequest> URLRequestForActivity(const std::shared_ptr<ALKActivity>& activity,
                                                            const std::shared_ptr<ALKConfig>& config,
                                                            std::shared_ptr<ALKActivity>* actualActivity,
                                                            platform::ErrorPtr* error,
                                                            const ALKClock& clock = ALKClock());
  // The time-out a request gets when the config gives none that is usable.
  static constexpr double kDefaultTimeout = 60;

  ALKMeasurementRequestFilter() = delete;
};
