#include <gtest/gtest.h>

#include <cmath>

#include "ALKAnalyticsRegistry.h"
#include "ALKGAConfig.h"
#include "ALKGoogleAnalyticsBackend.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementConfig.h"
#include "RecordingLogger.h"
#include "System/AppIdentity.h"

namespace {

using platform::Value;

// Sets the application's identity for the life of the scope.
class IdentityScope {
 public:
  IdentityScope(std::string name, std::string version, std::string executable, std::string locale) {
    auto& identity = platform::AppIdentity::shared();
    identity.setName(std::move(name));
    identity.setShortVersion(std::move(version));
    identity.setBundleIdentifier("com.example.tool");
    identity.setExecutablePath(std::move(executable));
    identity.setLocaleIdentifier(std::move(locale));
  }
  ~IdentityScope() {
    auto& identity = platform::AppIdentity::shared();
    for (auto setter : {&platform::AppIdentity::setName, &platform::AppIdentity::setShortVersion,
                        &platform::AppIdentity::setBundleIdentifier, &platform::AppIdentity::setExecutablePath,
                        &platform::AppIdentity::setLocaleIdentifier}) {
      (identity.*setter)("");
    }
  }
};

}  // namespace

TEST(ALKMeasurementActivityTest, FactoriesCheckTheirArguments) {
  RecordingLoggerScope recorder;
  auto event = ALKMeasurementActivity::eventActivity("Cat", "Act", "");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->propertyNames(), (std::vector<std::string>{"activityType", "eventCategory", "eventAction"}));
  EXPECT_EQ(ALKMeasurementActivity(*ALKMeasurementActivity::eventActivity("C", "A", "L", 0)).eventValue(), 0);
  EXPECT_FALSE(ALKMeasurementActivity::eventActivity("Cat", "", "L", 5));
  EXPECT_FALSE(ALKMeasurementActivity::socialActivity("net", "like", std::nullopt));
  EXPECT_FALSE(ALKMeasurementActivity::timingActivity("Cat", 0.0, "n", "l"));
  EXPECT_FALSE(ALKMeasurementActivity::timingActivity("Cat", std::nan(""), "n", "l"));
  EXPECT_FALSE(ALKMeasurementActivity::googleAnalyticsActivity("Event"));
  EXPECT_EQ(recorder->count("<ERROR>"), 5u);
  EXPECT_EQ(recorder->count("Invalid arguments"), 5u);

  auto timing = ALKMeasurementActivity::timingActivity("Cat", 1.5, "", "l");
  EXPECT_EQ(timing->propertyNames(),
            (std::vector<std::string>{"activityType", "timingCategory", "timingDuration", "timingLabel"}));
  EXPECT_TRUE(ALKMeasurementActivity(*ALKMeasurementActivity::exceptionActivity("boom")).isExceptionFatal());
  EXPECT_EQ(ALKMeasurementActivity::appViewActivity(std::nullopt)->propertyNames(),
            std::vector<std::string>{"activityType"});
  auto social = ALKMeasurementActivity::googleAnalyticsActivity("Social");
  EXPECT_EQ(social->propertyNames(), std::vector<std::string>{"activityType"});
  EXPECT_EQ(ALKMeasurementActivity(*social).activityType(), "Social");
}

TEST(ALKMeasurementActivityTest, SettersKeepTheirRules) {
  ALKActivity activity;
  ALKMeasurementActivity hit(activity);
  hit.setDocumentPath("/a");
  hit.setDocumentPath("b");
  EXPECT_EQ(hit.documentPath(), "/a");
  hit.setDocumentPath(std::nullopt);
  EXPECT_FALSE(hit.documentPath());
  hit.setEventValue(7);
  hit.setEventValue(-1);
  EXPECT_EQ(hit.eventValue(), 7);
  hit.setScreenResolution({1280, 800});
  EXPECT_EQ(activity.valueForProperty("screenResolution"), Value("{1280, 800}"));
  EXPECT_EQ(hit.screenResolution(), (platform::Size{1280, 800}));
  // Each number keeps its kind.
  hit.setQueueTime(5);
  hit.setShouldAnonymizeIP(true);
  hit.setTimingDuration(2);
  EXPECT_EQ(activity.valueForProperty("queueTime").number()->kind(), platform::Number::Kind::UInt);
  EXPECT_EQ(activity.valueForProperty("shouldAnonymizeIP").number()->kind(), platform::Number::Kind::Bool);
  EXPECT_EQ(activity.valueForProperty("timingDuration").number()->kind(), platform::Number::Kind::Double);
}

TEST(ALKMeasurementConfigTest, PresetDescribesTheApplication) {
  RecordingLoggerScope recorder;
  {
    IdentityScope identity("Tool", "2.1", "/usr/bin/tool", "de_DE");
    const auto config = ALKGAConfig::googleAnalyticsConfig();
    ALKMeasurementConfig measurement(*config);
    EXPECT_EQ(measurement.protocolVersion(), 1);
    EXPECT_TRUE(measurement.shouldUseCacheBuster());
    EXPECT_EQ(measurement.maxEncodedMeasurementURLLength(), 2000u);
    EXPECT_EQ(config->analyticsType(), "GoogleAnalytics");
    EXPECT_EQ(measurement.measurementQueryDescriptions()->size(), 6u);
    EXPECT_FALSE(measurement.shouldAnonymizeIP());
    EXPECT_FALSE(measurement.clientId());
    EXPECT_TRUE(config->nonOverriddenValueForProperty("dispatchInterval").isNil());
    const auto endPoint = platform::Url::fromString(*measurement.URLStringEndPoint());
    EXPECT_EQ(endPoint->scheme(), "https");
    EXPECT_EQ(endPoint->path(), "/collect");
    EXPECT_EQ(config->defaultActivity()->properties(),
              (platform::Dictionary{{"appName", "Tool"},
                                    {"appVersion", "2.1"},
                                    {"applicationIdentifier", "com.example.tool"},
                                    {"documentEncoding", "UTF-8"},
                                    {"userLanguage", "de_DE"}}));
    EXPECT_FALSE(recorder->contains("should be specified explicitly"));
  }
  {
    // No name: the program file's name; no version: the WARNING.
    IdentityScope identity("", "", "/opt/tool/Printer Tool.bin", "");
    const auto activity = ALKGAConfig::googleAnalyticsConfig()->defaultActivity();
    ALKMeasurementActivity application(*activity);
    EXPECT_EQ(application.appName(), "Printer Tool");
    EXPECT_FALSE(application.appVersion());
    EXPECT_TRUE(recorder->contains(
        "Application name and version should be specified explicitly for Google Analytics. Use "
        "client.config.defaultActivity.appName/appVersion"));
  }
}

TEST(ALKMeasurementConfigTest, AccessorsFallBackAndSettersStoreOrRemove) {
  const auto parent = ALKConfig::configWithProperties(platform::Dictionary{{"clientId", "p"}, {"shouldAnonymizeIP", true}});
  struct Provider : IALKParentConfigProvider {
    std::shared_ptr<ALKConfig> config;
    std::shared_ptr<ALKConfig> parentConfig() const override { return config; }
  };
  auto provider = std::make_shared<Provider>();
  provider->config = parent;
  ALKConfig child;
  child.setParentConfigProvider(provider);
  ALKMeasurementConfig measurement(child);
  measurement.setClientId("c");
  measurement.setClientId(std::nullopt);
  EXPECT_EQ(measurement.clientId(), "p");
  measurement.setShouldAnonymizeIP(false);
  EXPECT_FALSE(measurement.shouldAnonymizeIP());
  EXPECT_EQ(measurement.maxEncodedMeasurementURLLength(), 0u);
}

TEST(ALKMeasurementConfigTest, BackEndRegistersItsPresetAndExceptionActivity) {
  ALKGoogleAnalyticsBackend::registerBackend();
  auto& registry = ALKAnalyticsRegistry::shared();
  const auto exception = registry.entry<ALKExceptionActivityEntry>("googleAnalyticsExceptionActivityWithDescription:fatal:");
  ASSERT_TRUE(exception);
  EXPECT_FALSE(ALKMeasurementActivity(*exception("boom", false)).isExceptionFatal());
  const auto config = ALKConfig::configWithAnalyticsType("GoogleAnalytics");
  EXPECT_EQ(ALKMeasurementConfig(*config).protocolVersion(), 1);
  EXPECT_EQ(config->dispatchInterval(), 120.0);
  ALKGoogleAnalyticsBackend::unregisterBackend();
  EXPECT_FALSE(registry.entry<ALKConfigEntry>("googleAnalyticsConfig"));
}
