#include "ALKGAConfig.h"

#include "ALKGAMeasurementActivityDescription.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementConfig.h"
#include "System/AppIdentity.h"

namespace {

const ALKLogSource kConfigClass = ALKLogSource::forClass("ALKConfig");

// The application's given name, else its program file's name without the
// extension; nullopt when there is neither.
std::optional<std::string> applicationName(const platform::AppIdentity& identity) {
  if (identity.hasName()) return identity.name();
  std::string file = identity.executablePath();
  file = file.substr(file.find_last_of('/') + 1);
  if (const auto dot = file.find_last_of('.'); dot != std::string::npos && dot > 0) file.resize(dot);
  if (file.empty()) return std::nullopt;
  return file;
}

}  // namespace

std::shared_ptr<ALKConfig> ALKGAConfig::googleAnalyticsConfig() {
  ALKLogIndent indent;
  ALKLog::debug(kConfigClass, "Create Google Analytics config");
  auto config = ALKConfig::configWithProperties(platform::Dictionary{{ALKMeasurementConfig::kProtocolVersionKey, 1}});
  ALKMeasurementConfig measurement(*config);
  measurement.setURLStringEndPoint(kEndPoint);
  measurement.setShouldUseCacheBuster(true);
  measurement.setMeasurementQueryDescriptions(ALKGAMeasurementActivityDescription::supportedDescriptions());
  measurement.setMaxEncodedMeasurementURLLength(2000);
  config->setAnalyticsType(kAnalyticsTypeGoogleAnalytics);

  const auto& identity = platform::AppIdentity::shared();
  auto activity = std::make_shared<ALKActivity>();
  ALKMeasurementActivity application(*activity);
  application.setAppName(applicationName(identity));
  if (identity.hasShortVersion()) application.setAppVersion(identity.shortVersion());
  const bool named = application.appName() && application.appVersion();
  application.setApplicationIdentifier(identity.bundleIdentifier());
  if (!named) {
    ALKLog::warning(kConfigClass,
                    "Application name and version should be specified explicitly for Google Analytics. Use "
                    "client.config.defaultActivity.appName/appVersion");
  }
  application.setDocumentEncoding("UTF-8");
  application.setUserLanguage(identity.localeIdentifier());
  config->setDefaultActivity(std::move(activity));
  return config;
}
