#pragma once

#include <memory>

#include "ALKConfig.h"

// The ready-made config of the Google Analytics back end.
class ALKGAConfig {
 public:
  // The collection endpoint the preset sends to.
  static constexpr const char* kEndPoint = "https://www.google-analytics.com/collect";
  static constexpr const char* kAnalyticsTypeGoogleAnalytics = "GoogleAnalytics";

  // Protocol version 1, the endpoint, a cache buster on every hit, the six
  // hit-type descriptions, URLs of up to 2000 characters, analytics type
  // "GoogleAnalytics", and a default activity with the application's name,
  // version and identifier (platform::AppIdentity), document encoding
  // "UTF-8" and the user's locale. A WARNING when the application gave no
  // name or no version. Runs on the caller's thread.
  static std::shared_ptr<ALKConfig> googleAnalyticsConfig();

  ALKGAConfig() = delete;
};
