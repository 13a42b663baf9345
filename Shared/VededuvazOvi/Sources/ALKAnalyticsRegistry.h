#pragma once

#include <any>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "Values/Value.h"

class ALKActivity;
class ALKConfig;
class ALKPipeline;
class ALKQueueFilter;
class ALKTracker;

// The one signature of the entry of each template.
// "%@Config": the back end's preset config.
using ALKConfigEntry = std::shared_ptr<ALKConfig>();
// "%@TrackerWithTrackingId:": a new tracker for a tracking id.
using ALKTrackerWithTrackingIdEntry = std::shared_ptr<ALKTracker>(const std::string& trackingId);
// "%@ActivityPipeline": the pipeline of a tracker.
using ALKActivityPipelineEntry = std::shared_ptr<ALKPipeline>(ALKTracker& tracker);
// "%@UpdateFilter:": adjusts a stage of a tracker's pipeline about to run.
using ALKUpdateFilterEntry = void(ALKTracker& tracker, ALKQueueFilter& filter);
// "%@ExceptionActivityWithDescription:fatal:": the activity reporting an
// exception.
using ALKExceptionActivityEntry = std::shared_ptr<ALKActivity>(const std::string& description, bool fatal);

// The operations that analytics back ends offer by name. The library derives
// a name from a configuration's "analyticsType" and a template
// ("GoogleAnalytics" and "%@Config" give "googleAnalyticsConfig") and asks
// here; a back end registers its entries under those names. An entry is a
// std::function of one of the five entry signatures above (any other does
// not compile); asking with another of them finds nothing.
class ALKAnalyticsRegistry {
 public:
  // The templates the library uses.
  static constexpr const char* kConfigTemplate = "%@Config";
  static constexpr const char* kActivityPipelineTemplate = "%@ActivityPipeline";
  static constexpr const char* kUpdateFilterTemplate = "%@UpdateFilter:";
  static constexpr const char* kTrackerWithTrackingIdTemplate = "%@TrackerWithTrackingId:";
  static constexpr const char* kExceptionActivityTemplate = "%@ExceptionActivityWithDescription:fatal:";

  // The single instance, never destroyed.
  static ALKAnalyticsRegistry& shared();

  // The analytics type with its first character lower-cased (a whole UTF-8
  // character) put into `nameTemplate`; nullopt for nil, a value that is no
  // string, an empty string or text that is not UTF-8.
  static std::optional<std::string> derivedName(std::string_view nameTemplate, const platform::Value& analyticsType);

  // Registers (or replaces) the entry `name`. Thread-safe.
  template <class Signature>
  void registerEntry(const std::string& name, std::function<Signature> entry) {
    static_assert(kIsEntrySignature<Signature>, "not a back-end entry signature");
    std::lock_guard lock(mutex_);
    entries_[name] = std::move(entry);
  }
  // Removes the entry `name`. Thread-safe.
  void removeEntry(const std::string& name);

  // The entry `name` of this signature; empty when there is none. The entry
  // runs on the caller's thread, outside the registry's lock.
  template <class Signature>
  std::function<Signature> entry(const std::string& name) const {
    static_assert(kIsEntrySignature<Signature>, "not a back-end entry signature");
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(name);
    if (found == entries_.end()) return {};
    const auto* function = std::any_cast<std::function<Signature>>(&found->second);
    return function ? *function : std::function<Signature>();
  }

 private:
  template <class Signature>
  static constexpr bool kIsEntrySignature =
      std::is_same_v<Signature, ALKConfigEntry> || std::is_same_v<Signature, ALKTrackerWithTrackingIdEntry> ||
      std::is_same_v<Signature, ALKActivityPipelineEntry> || std::is_same_v<Signature, ALKUpdateFilterEntry> ||
      std::is_same_v<Signature, ALKExceptionActivityEntry>;

  ALKAnalyticsRegistry() = default;

  mutable std::mutex mutex_;  // guards entries_; any thread, never held while an entry runs
  std::unordered_map<std::string, std::any> entries_;
};
