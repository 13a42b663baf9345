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
  chain.tracker->setDispatchInterval(30.0);
  EXPECT_EQ(chain.tracker->dispatchInterval(), 30.0);
  chain.tracker->removeValueForProperty("dispatchInterval");
  EXPECT_EQ(chain.tracker->dispatchInterval(), 120.0);
  EXPECT_TRUE(chain.tracker->nonOverriddenValueForProperty("dispatchInterval").isNil());
  // An own NO hides the parent's YES.
  chain.client->setOptOut(true);
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
                                                           {"defaultActivity", Dictionary{{"a", 1}}},
                                                           {"pendingRequestsURL", "/tmp/store.sqlite"}}));
  EXPECT_EQ(config.queueLimit(), 0u);
  EXPECT_TRUE(config.optOut());
  EXPECT_EQ(config.rateLimit(), 2.5);
  EXPECT_FALSE(config.analyticsType());
  EXPECT_FALSE(config.defaultActivity());
  EXPECT_FALSE(config.pendingRequestsURL());
}

TEST(ALKConfigTest, EqualsByOwnValuesOfTheSameClassAndCopiesWithoutParent) {
  Chain chain;
  auto other = std::make_shared<ALKConfig>();
  chain.tracker->setTrackingId("UA-1");
  other->setTrackingId("UA-1");
  EXPECT_TRUE(chain.tracker->isEqual(*other));
  EXPECT_EQ(chain.tracker->hash(), other->hash());
  EXPECT_FALSE(ALKConfig().isEqual(*other));
  const auto copy = std::static_pointer_cast<ALKConfig>(chain.tracker->copy());
  EXPECT_TRUE(copy->isEqual(*chain.tracker));
  EXPECT_FALSE(copy->parentConfigProvider().lock());
  // A subclass copies as itself.
  struct OwnConfig : ALKCopiedAsOwnClass<OwnConfig, ALKConfig> {
    using ALKCopiedAsOwnClass::ALKCopiedAsOwnClass;
  };
  EXPECT_TRUE(std::dynamic_pointer_cast<OwnConfig>(OwnConfig().copy()));
}

TEST(ALKConfigTest, MakesConfigsFromPropertiesAndMergesTheRegisteredPreset) {
  EXPECT_FALSE(ALKConfig::configWithProperties(std::nullopt)->mutableProperties());
  // A "defaultActivity" dictionary becomes an activity; an activity is taken as it is.
  const auto withActivity = ALKConfig::configWithProperties(
      Dictionary{{"trackingId", "UA-2"}, {"defaultActivity", Dictionary{{"applicationName", "Printers"}}}});
  ASSERT_TRUE(withActivity->defaultActivity());
  EXPECT_EQ(withActivity->defaultActivity()->properties(), (Dictionary{{"applicationName", "Printers"}}));
  auto activity = std::make_shared<ALKActivity>();
  EXPECT_EQ(ALKConfig::configWithProperties(Dictionary{{"defaultActivity", activity}})->defaultActivity(), activity);

  // Without a back end: the base values and the type.
  RecordingLoggerScope recorder;
  auto plain = ALKConfig::configWithAnalyticsType("GoogleAnalytics");
  EXPECT_EQ(plain->rateLimit(), 0.5);
  EXPECT_EQ(plain->dispatchInterval(), 120.0);
  EXPECT_TRUE(recorder->contains("No specific configuration found for analytics type GoogleAnalytics"));
  RegistryEntryScope<ALKConfig::Preset> preset("googleAnalyticsConfig", [] {
    auto config = std::make_shared<ALKConfig>();
    config->setAnalyticsType("GA");
    config->setRateLimit(1.0);
    return config;
  });
  auto merged = ALKConfig::configWithAnalyticsType("GoogleAnalytics");
  EXPECT_EQ(merged->analyticsType(), "GA");
  EXPECT_EQ(merged->rateLimit(), 1.0);
  EXPECT_EQ(merged->queueLimit(), 60u);
}

TEST(ALKConfigTest, ReadsSettingsFilesAndDefaults) {
  TemporaryDirectory directory;
  auto write = [&](const std::string& name, const Value& contents) {
    const std::string path = directory.file(name);
    EXPECT_TRUE(platform::PropertyList::writeFile(contents, path, platform::PropertyListFormat::Xml));
    return path;
  };
  const auto fromFile = ALKConfig::configWithFileAtPath(write(
      "good.plist", Value(Dictionary{{"ALKSettings", Dictionary{{"extra", "kept"}, {"defaultActivity", Dictionary{}}}}})));
  EXPECT_EQ(fromFile->valueForProperty("extra"), Value("kept"));
  EXPECT_TRUE(fromFile->defaultActivity());
  // Missing file, no "ALKSettings", an entry or a file that is no dictionary.
  for (const std::string& path :
       {directory.file("missing.plist"), write("none.plist", Value(Dictionary{{"other", 1}})),
        write("string.plist", Value(Dictionary{{"ALKSettings", "oops"}})),
        write("array.plist", Value(platform::Array{Value(1)}))}) {
    EXPECT_FALSE(ALKConfig::configWithFileAtPath(path)->mutableProperties()) << path;
  }
  const auto fromDefaults = ALKConfig::configWithDefaults([](const std::string& key) {
    return key == "ALKSettings" ? Value(Dictionary{{"queueLimit", 5}}) : Value();
  });
  EXPECT_EQ(fromDefaults->queueLimit(), 5u);
}

TEST(ALKConfigTest, FlattensAChainNearestFirstCopyingOnlyParentsValues) {
  Chain chain;
  chain.client->setTrackingId("UA-client");
  auto clientActivity = std::make_shared<ALKActivity>();
  chain.client->setDefaultActivity(clientActivity);
  chain.tracker->setTrackingId("UA-tracker");
  auto flat = ALKConfig::configByAddingPropertiesFromConfig(chain.tracker);
  EXPECT_FALSE(flat->parentConfigProvider().lock());
  EXPECT_EQ(flat->nonOverriddenValueForProperty("trackingId"), Value("UA-tracker"));
  EXPECT_EQ(flat->nonOverriddenValueForProperty("rateLimit"), Value(0.5));
  // A parent's activity is copied, the given config's own is shared.
  ASSERT_TRUE(flat->defaultActivity());
  EXPECT_NE(flat->defaultActivity(), clientActivity);
  EXPECT_TRUE(flat->defaultActivity()->isEqual(*clientActivity));
  auto trackerActivity = std::make_shared<ALKActivity>();
  chain.tracker->setDefaultActivity(trackerActivity);
  EXPECT_EQ(ALKConfig::configByAddingPropertiesFromConfig(chain.tracker)->defaultActivity(), trackerActivity);
}
