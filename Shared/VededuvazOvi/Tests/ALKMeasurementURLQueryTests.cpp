#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ALKErrors.h"
#include "ALKGAMeasurementActivityDescription.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementURLQuery.h"
#include "RecordingLogger.h"

namespace {

using platform::Value;

const ALKMeasurementDescriptions& descriptions() {
  static const auto* built = new ALKMeasurementDescriptions(ALKGAMeasurementActivityDescription::supportedDescriptions());
  return *built;
}

// An event with everything a hit needs, in this order.
std::shared_ptr<ALKActivity> event() {
  auto activity = ALKMeasurementActivity::eventActivity("Cat", "Act", std::nullopt);
  ALKMeasurementActivity hit(*activity);
  hit.setProtocolVersion(1);
  hit.setTrackingId("UA-1");
  hit.setClientId("c1");
  return activity;
}

struct Build {
  std::string query;
  std::vector<std::int64_t> codes;
};

// Builds with a handler that records every code and sets stop to `stop`.
Build build(const std::shared_ptr<ALKActivity>& activity, bool stop = true) {
  Build result;
  result.query = ALKMeasurementURLQuery::queryWithActivity(activity, descriptions())
                     ->queryWithErrorHandler([&](const platform::ErrorPtr& error, bool& stopping) {
                       EXPECT_EQ(error->domain(), ALKErrorDomain);
                       EXPECT_TRUE(error->userInfo().empty());
                       result.codes.push_back(error->code());
                       stopping = stop;
                     });
  return result;
}

}  // namespace

TEST(ALKMeasurementURLQueryTest, WritesAnEventInTheActivitysOrderWithTheCacheBusterLast) {
  RecordingLoggerScope recorder;
  auto activity = event();
  ALKMeasurementActivity hit(*activity);
  hit.setCacheBuster(Value(1234567));
  activity->setTimestamp(10.5);
  hit.setEventLabel("a b&c/\xC3\xA4");
  hit.setScreenColors(24);
  const Build result = build(activity);
  EXPECT_TRUE(result.codes.empty());
  EXPECT_EQ(result.query, "t=event&ec=Cat&ea=Act&v=1&tid=UA-1&cid=c1&el=a%20b%26c%2F%C3%A4&sd=24-bits&z=1234567");
  EXPECT_TRUE(recorder->contains("Property description not found {timestamp}"));
}

TEST(ALKMeasurementURLQueryTest, EscapesEveryByteOutsideTheUnreservedSetAndMendsInvalidText) {
  std::string escaped;
  ALKMeasurementURLQuery::appendEscaped(escaped, "AZaz09-._~ :/?#[]@!$&'()*+,;=%");
  EXPECT_EQ(escaped, "AZaz09-._~%20%3A%2F%3F%23%5B%5D%40%21%24%26%27%28%29%2A%2B%2C%3B%3D%25");
  escaped.clear();
  ALKMeasurementURLQuery::appendEscaped(escaped, std::string("a\xC3\0b\xFF", 5));
  EXPECT_EQ(escaped, "a%EF%BF%BD%00b%EF%BF%BD");
}

TEST(ALKMeasurementURLQueryTest, LimitsTheEscapedLength) {
  auto activity = event();
  ALKMeasurementActivity(*activity).setEventCategory(std::string(150, 'a'));
  EXPECT_TRUE(build(activity).codes.empty());

  // 50 a-umlauts: 100 bytes of UTF-8, 300 escaped.
  std::string umlauts;
  for (int i = 0; i < 50; ++i) umlauts += "\xC3\xA4";
  ALKMeasurementActivity(*activity).setEventCategory(umlauts);
  RecordingLoggerScope recorder;
  Build stopped = build(activity);
  EXPECT_EQ(stopped.codes, std::vector<std::int64_t>{kALKErrorValueTooLong});
  EXPECT_EQ(stopped.query, "t=event&ec=");
  EXPECT_EQ(recorder->count("Exceeded value length {value: '" + umlauts + "' max: 150, actual: 300}"), 1u);

  // Going on leaves the bare name and skips the check for missing parameters.
  ALKMeasurementActivity(*activity).setClientId(std::nullopt);
  const Build continued = build(activity, false);
  EXPECT_EQ(continued.codes, std::vector<std::int64_t>{kALKErrorValueTooLong});
  EXPECT_EQ(continued.query, "t=event&ec=&ea=Act&v=1&tid=UA-1");
}

TEST(ALKMeasurementURLQueryTest, ReportsEachErrorCodeAndStopsUnlessTheHandlerGoesOn) {
  RecordingLoggerScope recorder;
  // No type: -100, and going on, -101 for the missing description, then -104.
  auto untyped = std::make_shared<ALKActivity>();
  untyped->setValue("x", "trackingId");
  EXPECT_EQ(build(untyped).codes, std::vector<std::int64_t>{kALKErrorNoActivityType});
  EXPECT_EQ(build(untyped).query, "");
  EXPECT_EQ(build(untyped, false).codes,
            (std::vector<std::int64_t>{kALKErrorNoActivityType, kALKErrorNoDescription, kALKErrorNoHitType}));

  EXPECT_EQ(build(ALKMeasurementActivity::activityWithType("Transaction")).codes,
            std::vector<std::int64_t>{kALKErrorNoDescription});

  // A description whose type the hit-type transform does not know.
  ALKMeasurementDescriptions renamed = descriptions();
  renamed["Purchase"] = renamed.at("Event");
  platform::ErrorPtr error;
  ALKMeasurementURLQuery::queryWithActivity(ALKMeasurementActivity::activityWithType("Purchase"), renamed)
      ->queryWithError(&error);
  EXPECT_EQ(error->code(), kALKErrorNoHitType);
  EXPECT_TRUE(recorder->contains("No hit type {prop: Purchase}"));

  auto anonymous = event();
  ALKMeasurementActivity(*anonymous).setClientId(std::nullopt);
  EXPECT_EQ(build(anonymous).codes, std::vector<std::int64_t>{kALKErrorMissingParameters});
  EXPECT_TRUE(recorder->contains("Missing parameters: (\n    cid\n)"));

  // Nothing to build from: no query object, and the class operations report
  // what is missing.
  recorder->clear();
  EXPECT_FALSE(ALKMeasurementURLQuery::queryWithActivity(nullptr, descriptions()));
  EXPECT_FALSE(ALKMeasurementURLQuery::queryWithActivity(event(), std::nullopt));
  EXPECT_EQ(recorder->count("Invalid arguments"), 2u);
  error = nullptr;
  EXPECT_FALSE(ALKMeasurementURLQuery::queryForActivity(nullptr, descriptions(), &error));
  EXPECT_EQ(error->code(), kALKErrorNoActivityType);
  EXPECT_FALSE(ALKMeasurementURLQuery::queryForActivity(event(), std::nullopt, &error));
  EXPECT_EQ(error->code(), kALKErrorNoDescription);
  const auto query = ALKMeasurementURLQuery::queryWithActivity(anonymous, descriptions());
  EXPECT_EQ(query->activity(), anonymous);
  EXPECT_EQ(query->descriptions(), descriptions());

  // A null handler stops at the first error, where going on would not.
  auto overlong = event();
  ALKMeasurementActivity(*overlong).setEventCategory(std::string(151, 'a'));
  EXPECT_EQ(ALKMeasurementURLQuery::queryForActivity(overlong, descriptions(), ALKMeasurementURLQuery::ErrorHandler()),
            "t=event&ec=");
  EXPECT_EQ(build(overlong, false).query, "t=event&ec=&ea=Act&v=1&tid=UA-1&cid=c1");
}

TEST(ALKMeasurementURLQueryTest, SendsOnlyTheParametersOfTheHitType) {
  RecordingLoggerScope recorder;
  auto page = ALKMeasurementActivity::pageViewActivity("/home", "Home");
  ALKMeasurementActivity view(*page);
  view.setEventCategory("Cat");
  view.setProtocolVersion(1);
  view.setTrackingId("UA-1");
  view.setClientId("c1");
  EXPECT_EQ(build(page).query, "t=pageview&dp=%2Fhome&dt=Home&v=1&tid=UA-1&cid=c1");
  EXPECT_TRUE(recorder->contains("Unsupported parameter {prop: eventCategory, param: ec, hit: pageview"));

  // Screen name and content description are both sent as "cd".
  auto app = ALKMeasurementActivity::appViewActivity("Main");
  EXPECT_EQ(build(app, false).query, "t=appview&cd=Main&cd=Main");

  // The social target is required by its hit type and may be empty.
  auto social = ALKMeasurementActivity::socialActivity("net", "like", "");
  EXPECT_EQ(build(social, false).codes, std::vector<std::int64_t>{kALKErrorMissingParameters});
  EXPECT_TRUE(recorder->contains("Missing parameters: (\n    v,\n    tid,\n    cid\n)"));
}

TEST(ALKMeasurementURLQueryTest, ConvertsValuesByTheParameterType) {
  RecordingLoggerScope recorder;
  auto activity = event();
  activity->setValue("YES", "nonInteractive");
  activity->setValue("42abc", "eventValue");
  activity->setValue(1e300, "queueTime");
  activity->setValue(platform::Value::null(), "documentEncoding");  // the default
  activity->setValue(platform::Value::null(), "userLanguage");      // no default: a bare name
  activity->setValue(platform::Data{1, 2}, "userId");                // no text
  activity->setValue(2.5, "campaignName");
  activity->setValue("begin", "sessionControl");
  EXPECT_EQ(build(activity).query,
            "t=event&ec=Cat&ea=Act&v=1&tid=UA-1&cid=c1&ni=1&ev=42&qt=9223372036854775807&de=UTF-8&ul=&uid=&cn=2.5&sc=");
  EXPECT_TRUE(recorder->contains("Unsupported value class {class: NSData, param: uid}"));
  EXPECT_TRUE(recorder->contains("Invalid session control to session control property value transformation."));

  const auto catalogue = ALKMeasurementParameter::supportedParameters();
  const auto& hitType = *catalogue.at("t");
  EXPECT_EQ(ALKMeasurementURLQuery::stringValueForPropertyValue(Value("purchase"), hitType), "purchase");
  EXPECT_TRUE(recorder->contains("Unsupported value. {param: t, value: purchase, supported: ("));
  const ALKMeasurementParameter currency(platform::Dictionary{{"name", "tr"}, {"type", "currency"}});
  EXPECT_FALSE(ALKMeasurementURLQuery::stringValueForPropertyValue(Value(5), currency));
  EXPECT_TRUE(recorder->contains("Unexpected parameter type {param: tr, type: currency}"));
  const auto& value = *catalogue.at("ev");
  for (const double huge : {1e300, -1e300, std::nan("")}) {
    EXPECT_FALSE(ALKMeasurementURLQuery::stringValueForIntegerPropertyValue(Value(huge), value)->empty());
  }
  EXPECT_EQ(ALKMeasurementURLQuery::stringValueForIntegerPropertyValue(Value(-1e300), value), "-9223372036854775808");
  EXPECT_EQ(ALKMeasurementURLQuery::stringValueForBooleanPropertyValue(Value(0.0), value), "0");
}

TEST(ALKMeasurementURLQueryTest, SendsTransformedValuesAndKeepsJunkSizesAsText) {
  RecordingLoggerScope recorder;
  auto timing = ALKMeasurementActivity::timingActivity("Load", 1.2345, "", "");
  ALKMeasurementActivity hit(*timing);
  hit.setScreenResolution({1280, 800});
  hit.setViewportSize({0, 0});
  hit.setSessionControl("startSession");
  hit.setPageLoadDuration(-0.5);
  hit.setDocumentReferrer("http://a.example/?q=1");
  EXPECT_EQ(build(timing, false).query,
            "t=timing&utc=Load&utt=1235&sr=1280x800&vp=%7B0%2C%200%7D&sc=start&plt=-500&"
            "dr=http%3A%2F%2Fa.example%2F%3Fq%3D1");
  EXPECT_TRUE(recorder->contains("Invalid viewport size to viewport size property transformation. {{0, 0}}"));

  // A duration beyond exact milliseconds gives no value: a bare name.
  hit.setTimingDuration(std::numeric_limits<double>::infinity());
  EXPECT_EQ(build(timing, false).query.substr(0, 24), "t=timing&utc=Load&utt=&s");
}

TEST(ALKMeasurementURLQueryTest, CountsAValueWithoutTextAsPresent) {
  // A client id stored as null has no default: "cid=" and no missing parameter.
  auto activity = event();
  activity->setValue(platform::Value::null(), "clientId");
  const Build result = build(activity);
  EXPECT_TRUE(result.codes.empty());
  EXPECT_EQ(result.query, "t=event&ec=Cat&ea=Act&v=1&tid=UA-1&cid=");
}

TEST(ALKMeasurementURLQueryTest, IndentsConverterLinesBelowTheBuildsOwn) {
  RecordingLoggerScope recorder;
  auto activity = event();
  activity->setValue(platform::Data{1}, "eventLabel");
  activity->setTimestamp(1.0);
  build(activity);
  std::string build, converter;
  for (const auto& line : recorder->lines()) {
    if (line.text.find("Property description not found") != std::string::npos) build = line.text;
    if (line.text.find("Unsupported value class") != std::string::npos) converter = line.text;
  }
  EXPECT_EQ(build.find("<WARNING>"), 2u);
  EXPECT_EQ(converter.find("<WARNING>"), 6u);
  EXPECT_EQ(recorder->indentation(), "");
}

TEST(ALKMeasurementURLQueryTest, BuildsEveryHitTypeTheFactoriesMake) {
  const std::pair<std::shared_ptr<ALKActivity>, std::string> hits[] = {
      {ALKMeasurementActivity::exceptionActivity("boom"), "t=exception&exd=boom&exf=1"},
      {ALKMeasurementActivity::exceptionActivity(std::nullopt, false), "t=exception&exf=0"},
      {ALKMeasurementActivity::socialActivity("net", "like", "http://a.example/"),
       "t=social&sn=net&sa=like&st=http%3A%2F%2Fa.example%2F"},
      {ALKMeasurementActivity::googleAnalyticsActivity("PageView"), "t=pageview"},
      {ALKMeasurementActivity::googleAnalyticsActivity("Timing"), "t=timing"},
  };
  for (const auto& [activity, pairs] : hits) {
    ALKMeasurementActivity hit(*activity);
    hit.setProtocolVersion(1);
    hit.setTrackingId("UA-1");
    hit.setClientId("c1");
    const Build result = build(activity);
    EXPECT_TRUE(result.codes.empty()) << pairs;
    EXPECT_EQ(result.query, pairs + "&v=1&tid=UA-1&cid=c1");
  }
}
