#include "ALKMeasurementConfig.h"

std::optional<std::string> ALKMeasurementConfig::text(const char* key) const {
  const platform::Value value = config_.valueForProperty(key);
  if (const auto* string = value.string()) return *string;
  return std::nullopt;
}

void ALKMeasurementConfig::setText(const char* key, std::optional<std::string> value) {
  config_.setValue(value ? platform::Value(std::move(*value)) : platform::Value(), key);
}

std::optional<ALKMeasurementDescriptions> ALKMeasurementConfig::measurementQueryDescriptions() const {
  const platform::Value value = config_.valueForProperty(kMeasurementQueryDescriptionsKey);
  const auto* stored = value.dictionary();
  if (!stored) return std::nullopt;
  ALKMeasurementDescriptions descriptions;
  for (const auto& [type, entry] : *stored) {
    if (auto description = entry.objectAs<ALKMeasurementActivityDescription>()) descriptions[type] = description;
  }
  return descriptions;
}

void ALKMeasurementConfig::setMeasurementQueryDescriptions(
    const std::optional<ALKMeasurementDescriptions>& descriptions) {
  if (!descriptions) {
    config_.setValue(platform::Value(), kMeasurementQueryDescriptionsKey);
    return;
  }
  platform::Dictionary stored;
  for (const auto& [type, description] : *descriptions) stored.set(type, platform::Value(description));
  config_.setValue(std::move(stored), kMeasurementQueryDescriptionsKey);
}

std::uint64_t ALKMeasurementConfig::maxEncodedMeasurementURLLength() const {
  const platform::Value value = config_.valueForProperty(kMaxEncodedMeasurementURLLengthKey);
  if (const auto* number = value.number()) return number->unsignedValue();
  return static_cast<std::uint64_t>(value.integerValue());
}
