#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ALKConfig.h"
#include "ALKMeasurementActivityDescription.h"

// The measurement settings of a config: typed accessors over its keys.
// Getters read through the parent fall-back and give nullopt, false or 0
// when no config of the chain holds the key; scalar setters always store a
// number, object setters with nullopt remove the key. Used on the thread
// that owns the config.
class ALKMeasurementConfig {
 public:
  static constexpr const char* kURLStringEndPointKey = "URLStringEndPoint";
  static constexpr const char* kShouldUseCacheBusterKey = "shouldUseCacheBuster";
  static constexpr const char* kProtocolVersionKey = "protocolVersion";
  static constexpr const char* kShouldAnonymizeIPKey = "shouldAnonymizeIP";
  static constexpr const char* kClientIdKey = "clientId";
  static constexpr const char* kMeasurementQueryDescriptionsKey = "measurementQueryDescriptions";
  static constexpr const char* kMaxEncodedMeasurementURLLengthKey = "maxEncodedMeasurementURLLength";

  explicit ALKMeasurementConfig(ALKConfig& config) : config_(config) {}

  std::optional<std::string> URLStringEndPoint() const { return text(kURLStringEndPointKey); }
  void setURLStringEndPoint(std::optional<std::string> endPoint) { setText(kURLStringEndPointKey, std::move(endPoint)); }
  bool shouldUseCacheBuster() const { return config_.valueForProperty(kShouldUseCacheBusterKey).boolValue(); }
  void setShouldUseCacheBuster(bool use) { config_.setValue(use, kShouldUseCacheBusterKey); }
  std::int64_t protocolVersion() const { return config_.valueForProperty(kProtocolVersionKey).integerValue(); }
  void setProtocolVersion(std::int64_t version) { config_.setValue(version, kProtocolVersionKey); }
  bool shouldAnonymizeIP() const { return config_.valueForProperty(kShouldAnonymizeIPKey).boolValue(); }
  void setShouldAnonymizeIP(bool anonymize) { config_.setValue(anonymize, kShouldAnonymizeIPKey); }
  std::optional<std::string> clientId() const { return text(kClientIdKey); }
  void setClientId(std::optional<std::string> clientId) { setText(kClientIdKey, std::move(clientId)); }
  // Stored as a dictionary of the description objects (shared, not copied).
  std::optional<ALKMeasurementDescriptions> measurementQueryDescriptions() const;
  void setMeasurementQueryDescriptions(const std::optional<ALKMeasurementDescriptions>& descriptions);
  std::uint64_t maxEncodedMeasurementURLLength() const;
  void setMaxEncodedMeasurementURLLength(std::uint64_t length) {
    config_.setValue(length, kMaxEncodedMeasurementURLLengthKey);
  }

 private:
  std::optional<std::string> text(const char* key) const;
  void setText(const char* key, std::optional<std::string> value);

  ALKConfig& config_;
};
