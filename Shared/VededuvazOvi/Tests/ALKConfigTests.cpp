#include <gtest/gtest.h>

#include "ALKConfig.h"
#include "EngineTestSupport.h"
#include "Archiving/PropertyList.h"
#include "RecordingLogger.h"
#include "TemporaryDirectory.h"

using platform::Dictionary;
using platform::Value;

namespace {

// Hands out a parent config, as a tracker hands out its client's.
class Provider : public IALKParentConfigProvider {
 public:
  explicit Provider(std::shared_ptr<ALKConfig> parent) : parent_(std::move(parent)) {}
  std::shared_ptr<ALKConfig> parentConfig() const override { return parent_; }

 private:
  std::shared_ptr<ALKConfig> parent_;
};

// A client config with a tracker config below it.
struct Chain {
  std::shared_ptr<ALKConfig> client = ALKConfig::defaultConfig();
  std::shared_ptr<Provider> provider = std::make_shared<Provider>(client);
  std::shared_ptr<ALKConfig> tracker = std::make_shared<ALKConfig>();
  Chain() { tracker->setParentConfigProvider(provider); }
};

}  // namespace

TEST(ALKConfigTest, FallsBackToTheParentForWhatItDoesNotHold) {
  Chain chain;
  EXPECT_EQ(chain.tracker->dispatchInterval(), 120.0);
  chain.tracker->setDispatchInterval(30.0);
  EXPECT_EQ(chain.tracker->dispatchInterval(), 30.0);
  chain.tracker->removeValueForProperty("dispatchInterval");
  EXPECT_EQ(chain.tracker->dispatchInterval(), 120.0);
  EXPECT_EQ(chain.tracker->objectForKeyedSubscript("analyticsType"), Value("GoogleAnalytics"));
  EXPECT_TRUE(chain.tracker->nonOverriddenValueForProperty("analyticsType").isNil());

  // An own NO hides the parent's YES.
  chain.client->setOptOut(true);
  EXPECT_TRUE(chain.tracker->optOut());
  chain.tracker->setOptOut(false);
  EXPECT_FALSE(chain.tracker->optOut());

  // A provider that has gone answers nothing.
  chain.provider.reset();
  EXPECT_TRUE(chain.tracker->analyticsType() == std::nullopt);
}

TEST(ALKConfigTest, StopsWalkingAChainThatLoops) {
  RecordingLoggerScope recorder;
  auto config = std::make_shared<ALKConfig>();
  auto provider = std::make_shared<Provider>(config);
  config->setParentConfigProvider(provider);  // its own parent
  EXPECT_TRUE(config->valueForProperty("trackingId").isNil());
  config->setTrackingId("UA-1");
  EXPECT_EQ(ALKConfig::configByAddingPropertiesFromConfig(config)->trackingId(), "UA-1");
  EXPECT_EQ(recorder->count("<ERROR> [ALKConfig("), 2u);
  config->setParentConfigProvider({});
}

TEST(ALKConfigTest, TypedGettersReadOnlyValuesOfTheirKind) {
  ALKConfig config(std::make_shared<Dictionary>(Dictionary{{"queueLimit", -5},
                                                           {"optOut", "YES"},
                                                           {"rateLimit", "2.5 per second"},
                                                           {"analyticsType", 7},
                                                           {"dispatchInterval", Dictionary{}},
                                                           {"defaultActivity", Dictionary{{"a", 1}}},
                                                           {"pendingRequestsURL", "/tmp/store.sqlite"}}));
  EXPECT_EQ(config.queueLimit(), 0u);
  EXPECT_TRUE(config.optOut());
  EXPECT_EQ(config.rateLimit(), 2.5);
  EXPECT_FALSE(config.analyticsType());
  EXPECT_EQ(config.dispatchInterval(), 0.0);
  EXPECT_FALSE(config.defaultActivity());
  EXPECT_FALSE(config.pendingRequestsURL());

  const auto url = platform::Url::fileUrl("/tmp/store.sqlite");
  config.setPendingRequestsURL(url);
  EXPECT_EQ(config.pendingRequestsURL(), url);
  config.setPendingRequestsURL(std::nullopt);
  EXPECT_FALSE(config.mutableProperties()->contains("pendingRequestsURL"));
}

TEST(ALKConfigTest, EqualsByOwnValuesOfTheSameClass) {
  Chain chain;
  auto other = std::make_shared<ALKConfig>();
  chain.tracker->setTrackingId("UA-1");
  other->setTrackingId("UA-1");
  EXPECT_TRUE(chain.tracker->isEqual(*other));
  EXPECT_EQ(chain.tracker->hash(), other->hash());
  EXPECT_FALSE(ALKConfig().isEqual(*other));
  EXPECT_TRUE(ALKConfig().isEqual(ALKConfig()));

  const auto copy = std::static_pointer_cast<ALKConfig>(chain.tracker->copy());
  EXPECT_TRUE(copy->isEqual(*chain.tracker));
  EXPECT_FALSE(copy->parentConfigProvider().lock());
  EXPECT_NE(copy->mutableProperties(), chain.tracker->mutableProperties());
  // A subclass copies as itself.
  struct OwnConfig : ALKCopiedAsOwnClass<OwnConfig, ALKConfig> {
    using ALKCopiedAsOwnClass::ALKCopiedAsOwnClass;
  };
  EXPECT_TRUE(std::dynamic_pointer_cast<OwnConfig>(OwnConfig().copy()));

  // Numbers compare by value: the integer 120 of one config equals 120.0.
  auto integers = ALKConfig::configWithAnalyticsType("GoogleAnalytics");
  auto reals = ALKConfig::defaultConfig();
  reals->removeValueForProperty("dryRun");
  EXPECT_TRUE(integers->isEqual(*reals));
}

TEST(ALKConfigTest, MakesConfigsFromProperties) {
  EXPECT_FALSE(ALKConfig::configWithProperties(std::nullopt)->mutableProperties());

  const auto withActivity = ALKConfig::configWithProperties(
      Dictionary{{"trackingId", "UA-2"}, {"defaultActivity", Dictionary{{"applicationName", "Printers"}}}});
  ASSERT_TRUE(withActivity->defaultActivity());
  EXPECT_EQ(withActivity->defaultActivity()->properties(), (Dictionary{{"applicationName", "Printers"}}));
  EXPECT_EQ(withActivity->mutableProperties()->keys(), (std::vector<std::string>{"trackingId", "defaultActivity"}));

  // An activity given as such is taken as it is.
  auto activity = std::make_shared<ALKActivity>();
  const auto same = ALKConfig::configWithProperties(Dictionary{{"defaultActivity", activity}});
  EXPECT_EQ(same->defaultActivity(), activity);

  const auto defaults = ALKConfig::defaultConfig();
  EXPECT_EQ(defaults->properties(), (Dictionary{{"optOut", false},
                                                {"dryRun", false},
                                                {"dispatchInterval", 120.0},
                                                {"URLConnectionTimeout", 60.0},
                                                {"rateLimit", 0.5},
                                                {"queueLimit", 60u},
                                                {"analyticsType", "GoogleAnalytics"}}));
}

TEST(ALKConfigTest, MergesTheRegisteredPresetOfAnAnalyticsType) {
  RecordingLoggerScope recorder;
  // No back end registered: the base values, the type and a warning.
  auto plain = ALKConfig::configWithAnalyticsType("GoogleAnalytics");
  EXPECT_EQ(plain->analyticsType(), "GoogleAnalytics");
  EXPECT_EQ(plain->rateLimit(), 0.5);
  EXPECT_TRUE(recorder->contains("No specific configuration found for analytics type GoogleAnalytics"));

  RegistryEntryScope<ALKConfig::Preset> preset("googleAnalyticsConfig", [] {
    auto config = std::make_shared<ALKConfig>();
    config->setAnalyticsType("GA");
    config->setRateLimit(1.0);
    config->setTrackingId("UA-9");
    return config;
  });
  recorder->clear();
  auto merged = ALKConfig::configWithAnalyticsType("GoogleAnalytics");
  EXPECT_FALSE(recorder->contains("No specific configuration found"));
  EXPECT_EQ(merged->analyticsType(), "GA");
  EXPECT_EQ(merged->rateLimit(), 1.0);
  EXPECT_EQ(merged->trackingId(), "UA-9");
  EXPECT_EQ(merged->queueLimit(), 60u);
}

TEST(ALKConfigTest, DerivesBackEndNamesFromTheAnalyticsType) {
  using R = ALKAnalyticsRegistry;
  EXPECT_EQ(R::derivedName(R::kConfigTemplate, Value("GoogleAnalytics")), "googleAnalyticsConfig");
  EXPECT_EQ(R::derivedName(R::kExceptionActivityTemplate, Value("GoogleAnalytics")),
            "googleAnalyticsExceptionActivityWithDescription:fatal:");
  // A whole multi-byte first character is lowered.
  EXPECT_EQ(R::derivedName(R::kConfigTemplate, Value("\xC3\x89lan")), "\xC3\xA9lanConfig");
  for (const Value& type : {Value(), Value(""), Value(5), Value("\xC3"), Value(std::string("G\0A", 3))}) {
    EXPECT_FALSE(R::derivedName(R::kConfigTemplate, type)) << type.description();
  }
}

TEST(ALKConfigTest, ReadsSettingsFilesAndDefaults) {
  TemporaryDirectory directory;
  auto write = [&](const std::string& name, const Value& contents) {
    const std::string path = directory.file(name);
    EXPECT_TRUE(platform::PropertyList::writeFile(contents, path, platform::PropertyListFormat::Xml));
    return path;
  };
  const auto fromFile = ALKConfig::configWithFileAtPath(write(
      "good.plist", Value(Dictionary{{"ALKSettings", Dictionary{{"trackingId", "UA-3"},
                                                                 {"dryRun", true},
                                                                 {"extra", "kept"},
                                                                 {"defaultActivity", Dictionary{{"a", "b"}}}}}})));
  EXPECT_EQ(fromFile->trackingId(), "UA-3");
  EXPECT_EQ(fromFile->valueForProperty("extra"), Value("kept"));
  ASSERT_TRUE(fromFile->defaultActivity());
  EXPECT_EQ(fromFile->defaultActivity()->valueForProperty("a"), Value("b"));

  // Missing file, no "ALKSettings", an entry that is no dictionary, a file
  // that is no dictionary: a config without dictionary.
  for (const std::string& path :
       {directory.file("missing.plist"), write("none.plist", Value(Dictionary{{"other", 1}})),
        write("string.plist", Value(Dictionary{{"ALKSettings", "oops"}})),
        write("array.plist", Value(platform::Array{Value(1)}))}) {
    const auto config = ALKConfig::configWithFileAtPath(path);
    EXPECT_FALSE(config->mutableProperties()) << path;
  }

  const auto fromDefaults = ALKConfig::configWithDefaults([](const std::string& key) {
    return key == "ALKSettings" ? Value(Dictionary{{"queueLimit", 5}}) : Value();
  });
  EXPECT_EQ(fromDefaults->queueLimit(), 5u);
}

TEST(ALKConfigTest, FlattensAChainNearestFirstCopyingOnlyParentsValues) {
  Chain chain;
  chain.client->setTrackingId("UA-client");
  chain.client->setOptOut(true);
  auto clientActivity = std::make_shared<ALKActivity>();
  chain.client->setDefaultActivity(clientActivity);
  chain.tracker->setTrackingId("UA-tracker");

  auto flat = ALKConfig::configByAddingPropertiesFromConfig(chain.tracker);
  EXPECT_FALSE(flat->parentConfigProvider().lock());
  EXPECT_EQ(flat->nonOverriddenValueForProperty("trackingId"), Value("UA-tracker"));
  EXPECT_EQ(flat->nonOverriddenValueForProperty("optOut"), Value(true));
  // A parent's activity is copied ...
  ASSERT_TRUE(flat->defaultActivity());
  EXPECT_NE(flat->defaultActivity(), clientActivity);
  EXPECT_TRUE(flat->defaultActivity()->isEqual(*clientActivity));

  // ... the given config's own is shared.
  auto trackerActivity = std::make_shared<ALKActivity>();
  chain.tracker->setDefaultActivity(trackerActivity);
  flat = ALKConfig::configByAddingPropertiesFromConfig(chain.tracker);
  EXPECT_EQ(flat->defaultActivity(), trackerActivity);

  // Without a parent the result is a plain copy.
  chain.provider.reset();
  flat = ALKConfig::configByAddingPropertiesFromConfig(chain.tracker);
  EXPECT_TRUE(flat->isEqual(*chain.tracker));
}
