#include "ALKMeasurementRequestFilter.h"

#include <cmath>

#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementConfig.h"
#include "ALKMeasurementURLQuery.h"
#include "Http/URLConnection.h"

namespace {

constexpr const char* kClassName = "ALKMeasurementRequestFilter";
// The hit's identity: the activity's own value wins, then the config's; the
// default activity never supplies one.
constexpr const char* kIdentityKeys[] = {ALKMeasurementConfig::kProtocolVersionKey,
                                         ALKMeasurementConfig::kShouldAnonymizeIPKey,
                                         ALKMeasurementConfig::kClientIdKey, "trackingId"};
// Beyond this many milliseconds a difference is no time a clock could show
// (a corrupt or foreign timestamp); rounding it would be undefined.
constexpr double kMaxMilliseconds = 9.0e15;

// Copy-on-write: the activity to write into, made on the first write.
class ActivityCopy {
 public:
  explicit ActivityCopy(const std::shared_ptr<ALKActivity>& original) : original_(original) {}
  ALKActivity& writable() {
    if (!copy_) copy_ = std::static_pointer_cast<ALKActivity>(original_->copy());
    return *copy_;
  }
  const std::shared_ptr<ALKActivity>& current() const { return copy_ ? copy_ : original_; }

 private:
  const std::shared_ptr<ALKActivity>& original_;
  std::shared_ptr<ALKActivity> copy_;
};

}  // namespace

std::shared_ptr<ALKActivity> ALKMeasurementRequestFilter::preparedActivityForActivity(
    const std::shared_ptr<ALKActivity>& activity, const std::shared_ptr<ALKConfig>& config, const ALKClock& clock) {
  if (!activity || !config) return activity;
  ActivityCopy copy(activity);
  if (auto defaults = config->defaultActivity(); defaults && defaults->hasProperties()) {
    for (const auto& name : defaults->propertyNames().value_or(std::vector<std::string>{})) {
      if (activity->valueForProperty(name).isNil()) copy.writable().setValue(defaults->valueForProperty(name), name);
    }
  }
  for (const char* key : kIdentityKeys) {
    if (!activity->valueForProperty(key).isNil()) continue;
    platform::Value value = config->valueForProperty(key);
    if (!value.isNil() || !copy.current()->valueForProperty(key).isNil()) copy.writable().setValue(std::move(value), key);
  }
  if (ALKMeasurementConfig(*config).shouldUseCacheBuster()) {
    ALKMeasurementActivity(copy.writable())
        .setCacheBuster(platform::Value(static_cast<std::int64_t>(std::lround(clock.currentTimestamp() * 1000))));
  }
  return copy.current();
}

std::optional<ALKHitRequest> ALKMeasurementRequestFilter::preparedURLRequestForActivity(
    const std::shared_ptr<ALKActivity>& prepared, const std::shared_ptr<ALKConfig>& config,
    std::shared_ptr<ALKActivity>* actualActivity, platform::ErrorPtr* error, const ALKClock& clock) {
  ALKLogIndent indent;
  const auto source = ALKLogSource::forClass(kClassName);
  ActivityCopy copy(prepared);
  platform::ErrorPtr queryError;
  std::optional<ALKHitRequest> request;
  if (prepared && config) {
    ALKMeasurementConfig measurement(*config);
    double timeout = config->URLConnectionTimeout();
    // 0 would mean no time-out at all to the transport.
    if (!(timeout > 0) || !std::isfinite(timeout)) timeout = kDefaultTimeout;
    const auto descriptions = measurement.measurementQueryDescriptions();

    if (!prepared->valueForProperty(ALKActivity::kTimestampKey).isNil()) {
      const double now = clock.currentTimestamp();
      const double milliseconds = (now - prepared->timestamp()) * 1000;
      if (std::isfinite(milliseconds) && std::fabs(milliseconds) < kMaxMilliseconds) {
        long queueTime = std::lround(milliseconds);
        if (queueTime < 0) {
          ALKLog::warning(source, "It seems user has changed system time to %@. Adjust the queue time %f -> %f.",
                          platform::Value(platform::Date(now)), static_cast<double>(queueTime),
                          static_cast<double>(-queueTime));
          queueTime = -queueTime;
        }
        ALKMeasurementActivity(copy.writable()).setQueueTime(static_cast<std::uint64_t>(queueTime));
      } else {
        ALKLog::warning(source, "Unusable timestamp %f; the hit goes without queue time.", prepared->timestamp());
      }
    }

    const std::string endPoint = measurement.URLStringEndPoint().value_or("");
    const auto query = ALKMeasurementURLQuery::queryForActivity(copy.current(), descriptions, &queryError);
    if (!queryError) {
      const std::string text = query && !query->empty() ? endPoint + "?" + *query : endPoint;
      const std::uint64_t limit = measurement.maxEncodedMeasurementURLLength();
      ALKHitRequest hit{text, "GET", {}, timeout};
      if (limit == 0 || text.size() > limit) {
        hit = ALKHitRequest{endPoint, "POST", query.value_or(""), timeout};
        if (query && !query->empty() && !ALKMeasurementActivity(*copy.current()).cacheBuster().isNil()) {
          // The body goes without the cache buster.
          copy.writable().removeValueForProperty("cacheBuster");
          hit.body = ALKMeasurementURLQuery::queryForActivity(copy.current(), descriptions, &queryError).value_or("");
        }
      }
      if (!queryError && platform::URLConnection::canHandleURL(hit.url)) request = std::move(hit);
    }
  }
  if (actualActivity) *actualActivity = copy.current();
  if (error) *error = queryError;
  if (!request) {
    ALKLog::error(source, "Cannot prepare NSURLRequest. {activity=%@; error=%@}", prepared, queryError);
  }
  return request;
}

std::optional<ALKHitRequest> ALKMeasurementRequestFilter::URLRequestForActivity(
    const std::shared_ptr<ALKActivity>& activity, const std::shared_ptr<ALKConfig>& config,
    std::shared_ptr<ALKActivity>* actualActivity, platform::ErrorPtr* error, const ALKClock& clock) {
  return preparedURLRequestForActivity(preparedActivityForActivity(activity, config, clock), config, actualActivity,
                                       error, clock);
}
