#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ALKActivity.h"
#include "ALKPropertyBag.h"
#include "IALKParentConfigProvider.h"
#include "Values/Url.h"

// The settings of the analytics library: a bag of named properties that
// falls back to a parent config for every value it does not hold itself. The
// parent comes from a provider held weakly. Configs are used on the thread
// that drives the client; pipeline stages read flat copies of their own.
class ALKConfig : public ALKPropertyBag {
 public:
  static constexpr const char* kAnalyticsTypeKey = "analyticsType";
  static constexpr const char* kTrackingIdKey = "trackingId";
  static constexpr const char* kOptOutKey = "optOut";
  static constexpr const char* kDryRunKey = "dryRun";
  static constexpr const char* kDispatchIntervalKey = "dispatchInterval";
  static constexpr const char* kDefaultActivityKey = "defaultActivity";
  static constexpr const char* kURLConnectionTimeoutKey = "URLConnectionTimeout";
  static constexpr const char* kRateLimitKey = "rateLimit";
  static constexpr const char* kQueueLimitKey = "queueLimit";
  static constexpr const char* kPendingRequestsURLKey = "pendingRequestsURL";
  // The entry of a settings file or defaults that holds the properties.
  static constexpr const char* kSettingsKey = "ALKSettings";
  // The longest chain of parents followed; a longer one (or a loop) is cut
  // there with an ERROR line.
  static constexpr int kMaxParentChainLength = 32;

  // A back end's preset, registered under "<type>Config".
  using Preset = std::shared_ptr<ALKConfig>();

  // A config without a dictionary.
  ALKConfig() : ALKConfig(nullptr) {}
  // Takes `mutableProperties` itself as storage (no copy); no parent.
  explicit ALKConfig(std::shared_ptr<platform::Dictionary> mutableProperties);
  ~ALKConfig() override;

  // The own value, else the parent's (up the chain); nil when no config of
  // the chain holds one or a provider has gone.
  platform::Value valueForProperty(const std::string& name) const override;
  // The own value only.
  platform::Value nonOverriddenValueForProperty(const std::string& name) const {
    return ALKPropertyBag::valueForProperty(name);
  }

  // A config on a copy of the own dictionary (values shared), without
  // parent. A subclass copies as its own class through ALKCopiedAsOwnClass.
  std::shared_ptr<platform::Object> copy() const override;

  std::weak_ptr<IALKParentConfigProvider> parentConfigProvider() const { return parentConfigProvider_; }
  void setParentConfigProvider(std::weak_ptr<IALKParentConfigProvider> provider) {
    parentConfigProvider_ = std::move(provider);
  }

  // Typed properties. Getters read through the fall-back and answer nil,
  // false or 0 for a value of the wrong kind (strings convert as numbers
  // do); scalar setters store a number, object setters with nil remove the
  // key.
  std::optional<std::string> analyticsType() const;
  void setAnalyticsType(std::optional<std::string> type);
  std::optional<std::string> trackingId() const;
  void setTrackingId(std::optional<std::string> trackingId);
  bool optOut() const;
  void setOptOut(bool optOut);
  bool dryRun() const;
  void setDryRun(bool dryRun);
  double dispatchInterval() const;
  void setDispatchInterval(double seconds);
  std::shared_ptr<ALKActivity> defaultActivity() const;
  void setDefaultActivity(std::shared_ptr<ALKActivity> activity);
  double URLConnectionTimeout() const;
  void setURLConnectionTimeout(double seconds);
  double rateLimit() const;
  void setRateLimit(double hitsPerSecond);
  // A negative stored value reads 0.
  std::uint64_t queueLimit() const;
  void setQueueLimit(std::uint64_t limit);
  std::optional<platform::Url> pendingRequestsURL() const;
  void setPendingRequestsURL(std::optional<platform::Url> url);

  // Ready-made configs.
  // "GoogleAnalytics", no opt-out, no dry run, dispatch every 120 s, 60 s
  // time-out, 0.5 hits per second, 60 queued hits.
  static std::shared_ptr<ALKConfig> defaultConfig();
  // The base values, overlaid by the preset that the back end of `type`
  // registered under "<type>Config" (a WARNING when there is none).
  static std::shared_ptr<ALKConfig> configWithAnalyticsType(const std::optional<std::string>& type);
  // The properties under "ALKSettings" of a property-list file; a config
  // without dictionary when the file, the entry or its kind is missing.
  static std::shared_ptr<ALKConfig> configWithFileAtPath(const std::string& path);
  // The same from defaults that answer a value for a key.
  static std::shared_ptr<ALKConfig> configWithDefaults(
      const std::function<platform::Value(const std::string& key)>& objectForKey);
  // A config on a copy of `properties`, whose "defaultActivity" entry (a
  // dictionary of activity properties, or an activity) becomes the default
  // activity.
  static std::shared_ptr<ALKConfig> configWithProperties(std::optional<platform::Dictionary> properties);
  // `config` and its parents flattened into one config without parent: the
  // nearest config holding a key wins; values found in parents are copied,
  // the given config's own values are shared.
  static std::shared_ptr<ALKConfig> configByAddingPropertiesFromConfig(const std::shared_ptr<ALKConfig>& config);

 private:
  // The parent of `config`, counting `levels`; nullptr at the end of the
  // chain and (with an ERROR line) past kMaxParentChainLength.
  std::shared_ptr<ALKConfig> parentOf(const ALKConfig& config, int& levels) const;

  std::weak_ptr<IALKParentConfigProvider> parentConfigProvider_;
};
