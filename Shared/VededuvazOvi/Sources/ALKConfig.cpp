#include "ALKConfig.h"

#include "ALKAnalyticsRegistry.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Archiving/PropertyList.h"

namespace {

const ALKLogSource kConfigClass = ALKLogSource::forClass("ALKConfig");

std::optional<std::string> stringOf(const platform::Value& value) {
  if (const auto* text = value.string()) return *text;
  return std::nullopt;
}

platform::Value stringValue(std::optional<std::string> text) {
  return text ? platform::Value(std::move(*text)) : platform::Value();
}

std::optional<platform::Dictionary> dictionaryOf(const platform::Value& value) {
  if (const auto* dictionary = value.dictionary()) return *dictionary;
  return std::nullopt;
}

}  // namespace

ALKConfig::ALKConfig(std::shared_ptr<platform::Dictionary> mutableProperties)
    : ALKPropertyBag(std::move(mutableProperties)) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init {%@}", this->mutableProperties());
}

ALKConfig::~ALKConfig() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
}

std::shared_ptr<ALKConfig> ALKConfig::parentOf(const ALKConfig& config, int& levels) const {
  const auto provider = config.parentConfigProvider_.lock();
  if (!provider) return nullptr;
  auto parent = provider->parentConfig();
  if (parent && ++levels > kMaxParentChainLength) {
    ALKLog::error(this, "Parent configs followed no further than %d levels: the chain loops or is too long",
                  kMaxParentChainLength);
    return nullptr;
  }
  return parent;
}

platform::Value ALKConfig::valueForProperty(const std::string& name) const {
  int levels = 0;
  std::shared_ptr<ALKConfig> holder;  // keeps the parent being read alive
  for (const ALKConfig* config = this; config; config = holder.get()) {
    platform::Value own = config->nonOverriddenValueForProperty(name);
    if (!own.isNil()) return own;
    holder = parentOf(*config, levels);
  }
  return platform::Value();
}

std::shared_ptr<platform::Object> ALKConfig::copy() const { return std::make_shared<ALKConfig>(copiedProperties()); }

std::optional<std::string> ALKConfig::analyticsType() const { return stringOf(valueForProperty(kAnalyticsTypeKey)); }
void ALKConfig::setAnalyticsType(std::optional<std::string> type) {
  setValue(stringValue(std::move(type)), kAnalyticsTypeKey);
}

std::optional<std::string> ALKConfig::trackingId() const { return stringOf(valueForProperty(kTrackingIdKey)); }
void ALKConfig::setTrackingId(std::optional<std::string> trackingId) {
  setValue(stringValue(std::move(trackingId)), kTrackingIdKey);
}

bool ALKConfig::optOut() const { return valueForProperty(kOptOutKey).boolValue(); }
void ALKConfig::setOptOut(bool optOut) { setValue(platform::Value(optOut), kOptOutKey); }

bool ALKConfig::dryRun() const { return valueForProperty(kDryRunKey).boolValue(); }
void ALKConfig::setDryRun(bool dryRun) { setValue(platform::Value(dryRun), kDryRunKey); }

double ALKConfig::dispatchInterval() const { return valueForProperty(kDispatchIntervalKey).doubleValue(); }
void ALKConfig::setDispatchInterval(double seconds) { setValue(platform::Value(seconds), kDispatchIntervalKey); }

std::shared_ptr<ALKActivity> ALKConfig::defaultActivity() const {
  return valueForProperty(kDefaultActivityKey).objectAs<ALKActivity>();
}
void ALKConfig::setDefaultActivity(std::shared_ptr<ALKActivity> activity) {
  setValue(platform::Value(std::move(activity)), kDefaultActivityKey);
}

double ALKConfig::URLConnectionTimeout() const { return valueForProperty(kURLConnectionTimeoutKey).doubleValue(); }
void ALKConfig::setURLConnectionTimeout(double seconds) {
  setValue(platform::Value(seconds), kURLConnectionTimeoutKey);
}

double ALKConfig::rateLimit() const { return valueForProperty(kRateLimitKey).doubleValue(); }
void ALKConfig::setRateLimit(double hitsPerSecond) { setValue(platform::Value(hitsPerSecond), kRateLimitKey); }

std::uint64_t ALKConfig::queueLimit() const {
  const std::int64_t limit = valueForProperty(kQueueLimitKey).integerValue();
  return limit < 0 ? 0 : static_cast<std::uint64_t>(limit);
}
void ALKConfig::setQueueLimit(std::uint64_t limit) { setValue(platform::Value(limit), kQueueLimitKey); }

std::optional<platform::Url> ALKConfig::pendingRequestsURL() const {
  const platform::Value value = valueForProperty(kPendingRequestsURLKey);
  if (const auto* url = value.url()) return *url;
  return std::nullopt;
}
void ALKConfig::setPendingRequestsURL(std::optional<platform::Url> url) {
  setValue(url ? platform::Value(std::move(*url)) : platform::Value(), kPendingRequestsURLKey);
}

std::shared_ptr<ALKConfig> ALKConfig::defaultConfig() {
  ALKLogIndent indent;
  ALKLog::debug(kConfigClass, "Create default config");
  auto config = configWithProperties(std::nullopt);
  config->setOptOut(false);
  config->setDryRun(false);
  config->setDispatchInterval(120.0);
  config->setURLConnectionTimeout(60.0);
  config->setRateLimit(0.5);
  config->setQueueLimit(60);
  config->setAnalyticsType("GoogleAnalytics");
  return config;
}

std::shared_ptr<ALKConfig> ALKConfig::configWithAnalyticsType(const std::optional<std::string>& type) {
  ALKLogIndent indent;
  const platform::Value typeValue = stringValue(type);
  ALKLog::debug(kConfigClass, "Create config {analytics type: %@}", typeValue);
  auto config = configWithProperties(platform::Dictionary{{kOptOutKey, false},
                                                          {kDispatchIntervalKey, 120},
                                                          {kURLConnectionTimeoutKey, 60},
                                                          {kRateLimitKey, 0.5},
                                                          {kQueueLimitKey, 60}});
  config->setAnalyticsType(type);

  const auto name = ALKAnalyticsRegistry::derivedName(ALKAnalyticsRegistry::kConfigTemplate, typeValue);
  const auto preset = name ? ALKAnalyticsRegistry::shared().entry<Preset>(*name) : nullptr;
  if (!preset) {
    ALKLog::warning(kConfigClass, "No specific configuration found for analytics type %@", typeValue);
    return config;
  }
  if (const auto presetConfig = preset()) {
    if (const auto presetProperties = presetConfig->properties()) config->mutableProperties()->addEntries(*presetProperties);
  }
  return config;
}

std::shared_ptr<ALKConfig> ALKConfig::configWithFileAtPath(const std::string& path) {
  const platform::Value file = platform::PropertyList::readFile(path);
  const auto* top = file.dictionary();
  return configWithProperties(top ? dictionaryOf(top->objectForKey(kSettingsKey)) : std::nullopt);
}

std::shared_ptr<ALKConfig> ALKConfig::configWithDefaults(
    const std::function<platform::Value(const std::string& key)>& objectForKey) {
  return configWithProperties(objectForKey ? dictionaryOf(objectForKey(kSettingsKey)) : std::nullopt);
}

std::shared_ptr<ALKConfig> ALKConfig::configWithProperties(std::optional<platform::Dictionary> properties) {
  std::shared_ptr<ALKActivity> activity;
  std::shared_ptr<platform::Dictionary> own;
  if (properties) {
    const platform::Value entry = properties->objectForKey(kDefaultActivityKey);
    if (const auto* activityProperties = entry.dictionary()) {
      activity = std::make_shared<ALKActivity>(std::make_shared<platform::Dictionary>(*activityProperties));
    } else {
      activity = entry.objectAs<ALKActivity>();
    }
    properties->remove(kDefaultActivityKey);
    own = std::make_shared<platform::Dictionary>(std::move(*properties));
  }
  auto config = std::make_shared<ALKConfig>(std::move(own));
  config->setDefaultActivity(std::move(activity));
  return config;
}

std::shared_ptr<ALKConfig> ALKConfig::configByAddingPropertiesFromConfig(const std::shared_ptr<ALKConfig>& config) {
  if (!config) return nullptr;
  auto flat = std::static_pointer_cast<ALKConfig>(config->copy());
  int levels = 0;
  for (auto parent = config->parentOf(*config, levels); parent; parent = config->parentOf(*parent, levels)) {
    const auto parentProperties = parent->properties();
    if (!parentProperties) continue;
    for (const auto& [name, value] : *parentProperties) {
      if (!flat->nonOverriddenValueForProperty(name).isNil()) continue;
      // An object value is copied where it can be (a default activity);
      // the other values are immutable and shared.
      const auto& object = value.object();
      auto copied = object ? object->copy() : nullptr;
      flat->setValue(copied ? platform::Value(std::move(copied)) : value, name);
    }
  }
  return flat;
}
