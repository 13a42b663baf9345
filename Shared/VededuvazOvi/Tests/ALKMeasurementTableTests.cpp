#include <gtest/gtest.h>

#include <cmath>

#include "ALKGAMeasurementActivityDescription.h"
#include "ALKGAMeasurementActivityPropertyDescription.h"
#include "ALKMeasurementParameter.h"
#include "RecordingLogger.h"

namespace {

using platform::Value;

// Applies the transform of `property` in a new table.
Value transformed(const char* property, const Value& value) {
  static const auto* table = new ALKMeasurementPropertyTable(ALKGAMeasurementActivityPropertyDescription::supportedDescriptions());
  const auto& description = *table->at(property);
  return description.valueTransform()(value, description);
}

struct Case {
  const char* property;
  Value input;
  Value expected;
  const char* warning;  // nullptr: none
};

}  // namespace

TEST(ALKMeasurementParameterTest, ReadsDefinitionsKeyByKey) {
  RecordingLoggerScope recorder;
  const ALKMeasurementParameter currency(platform::Dictionary{{"name", "x"}, {"type", "currency"}});
  EXPECT_EQ(currency.type(), "currency");
  const ALKMeasurementParameter unknown(platform::Dictionary{{"name", "x"}, {"type", "float"}});
  EXPECT_FALSE(unknown.type());
  EXPECT_TRUE(recorder->contains("Unsupported param {key: type, value: float, class: NSString}"));

  const platform::Array startEnd{"start", "end"};
  EXPECT_TRUE(ALKMeasurementParameter({{"values", startEnd}, {"default", "begin"}}).defaultValue().isNil());
  EXPECT_EQ(ALKMeasurementParameter({{"values", startEnd}, {"default", "end"}}).defaultValue(), Value("end"));

  // A negative limit in either form is no room, never "no limit".
  for (const auto& [given, expected] : std::vector<std::pair<Value, std::uint64_t>>{
           {Value("-5"), 0}, {Value("20"), 20}, {Value(2048), 2048}, {Value(-5), 0}, {Value(UINT64_MAX), UINT64_MAX}}) {
    EXPECT_EQ(ALKMeasurementParameter({{"maxLength", given}}).maxLength(), expected) << given.description();
  }
  EXPECT_TRUE(ALKMeasurementParameter({{"optional", "YES"}}).isOptional());
  EXPECT_FALSE(ALKMeasurementParameter({{"optional", "YES"}, {"required", true}}).isOptional());

  recorder->clear();
  const ALKMeasurementParameter numbered(platform::Dictionary{{"name", 7}});
  EXPECT_FALSE(numbered.name());
  EXPECT_TRUE(recorder->contains("Unexpected param {key: name, value: 7, class: NSNumber}"));
  // A definition without a usable name is left out, not filed under nothing.
  const auto parameters = ALKMeasurementParameter::parametersWithArray({{{"name", 7}}, {{"name", "a"}}});
  EXPECT_EQ(parameters.size(), 1u);
}

// One row of the catalogue as the library defines it.
struct CatalogueRow {
  const char* name;
  const char* type;
  std::uint64_t maxLength;
  Value defaultValue;
  std::optional<platform::Array> supportedValues;
  std::optional<platform::Array> supportedHitTypes;
};

TEST(ALKMeasurementParameterTest, KnowsTheCatalogue) {
  const CatalogueRow rows[] = {
      {"v", "text", 0, Value(1), std::nullopt, std::nullopt},
      {"tid", "text", 0, Value(), std::nullopt, std::nullopt},
      {"aip", "bool", 0, Value(), std::nullopt, std::nullopt},
      {"qt", "int", 0, Value(), std::nullopt, std::nullopt},
      {"z", "text", 0, Value(), std::nullopt, std::nullopt},
      {"cid", "text", 0, Value(), std::nullopt, std::nullopt},
      {"uid", "text", 0, Value(), std::nullopt, std::nullopt},
      {"sc", "text", 0, Value(), platform::Array{"start", "end"}, std::nullopt},
      {"uip", "text", 0, Value(), std::nullopt, std::nullopt},
      {"ua", "text", 0, Value(), std::nullopt, std::nullopt},
      {"dr", "text", 2048, Value(), std::nullopt, std::nullopt},
      {"cn", "text", 100, Value(), std::nullopt, std::nullopt},
      {"cs", "text", 100, Value(), std::nullopt, std::nullopt},
      {"cm", "text", 50, Value(), std::nullopt, std::nullopt},
      {"ck", "text", 500, Value(), std::nullopt, std::nullopt},
      {"cc", "text", 500, Value(), std::nullopt, std::nullopt},
      {"ci", "text", 100, Value(), std::nullopt, std::nullopt},
      {"gclid", "text", 0, Value(), std::nullopt, std::nullopt},
      {"dclid", "text", 0, Value(), std::nullopt, std::nullopt},
      {"sr", "text", 20, Value(), std::nullopt, std::nullopt},
      {"vp", "text", 20, Value(), std::nullopt, std::nullopt},
      {"de", "text", 20, Value("UTF-8"), std::nullopt, std::nullopt},
      {"sd", "text", 20, Value(), std::nullopt, std::nullopt},
      {"ul", "text", 20, Value(), std::nullopt, std::nullopt},
      {"je", "bool", 0, Value(), std::nullopt, std::nullopt},
      {"fl", "text", 20, Value(), std::nullopt, std::nullopt},
      {"t", "text", 0, Value(), platform::Array{"pageview", "appview", "event", "transaction", "item", "social", "exception", "timing"}, std::nullopt},
      {"ni", "bool", 0, Value(), std::nullopt, std::nullopt},
      {"dl", "text", 2048, Value(), std::nullopt, std::nullopt},
      {"dh", "text", 100, Value(), std::nullopt, std::nullopt},
      {"dp", "text", 2048, Value(), std::nullopt, std::nullopt},
      {"dt", "text", 1500, Value(), std::nullopt, std::nullopt},
      {"cd", "text", 2048, Value(), std::nullopt, std::nullopt},
      {"linkid", "text", 0, Value(), std::nullopt, std::nullopt},
      {"an", "text", 100, Value(), std::nullopt, std::nullopt},
      {"aid", "text", 150, Value(), std::nullopt, std::nullopt},
      {"av", "text", 100, Value(), std::nullopt, std::nullopt},
      {"aiid", "text", 150, Value(), std::nullopt, std::nullopt},
      {"ec", "text", 150, Value(), std::nullopt, platform::Array{"event"}},
      {"ea", "text", 500, Value(), std::nullopt, platform::Array{"event"}},
      {"el", "text", 500, Value(), std::nullopt, platform::Array{"event"}},
      {"ev", "int", 0, Value(), std::nullopt, platform::Array{"event"}},
      {"sn", "text", 50, Value(), std::nullopt, platform::Array{"social"}},
      {"sa", "text", 50, Value(), std::nullopt, platform::Array{"social"}},
      {"st", "text", 2048, Value(), std::nullopt, platform::Array{"social"}},
      {"utc", "text", 150, Value(), std::nullopt, platform::Array{"timing"}},
      {"utv", "text", 500, Value(), std::nullopt, platform::Array{"timing"}},
      {"utt", "int", 0, Value(), std::nullopt, platform::Array{"timing"}},
      {"utl", "text", 500, Value(), std::nullopt, platform::Array{"timing"}},
      {"plt", "int", 0, Value(), std::nullopt, platform::Array{"timing"}},
      {"dns", "int", 0, Value(), std::nullopt, platform::Array{"timing"}},
      {"pdt", "int", 0, Value(), std::nullopt, platform::Array{"timing"}},
      {"rrt", "int", 0, Value(), std::nullopt, platform::Array{"timing"}},
      {"tcp", "int", 0, Value(), std::nullopt, platform::Array{"timing"}},
      {"srt", "int", 0, Value(), std::nullopt, platform::Array{"timing"}},
      {"exd", "text", 150, Value(), std::nullopt, platform::Array{"exception"}},
      {"exf", "bool", 0, Value(true), std::nullopt, platform::Array{"exception"}},
  };
  const auto catalogue = ALKMeasurementParameter::supportedParameters();
  EXPECT_EQ(catalogue.size(), std::size(rows));
  for (const CatalogueRow& row : rows) {
    const auto found = catalogue.find(row.name);
    ASSERT_NE(found, catalogue.end()) << row.name;
    const ALKMeasurementParameter& parameter = *found->second;
    EXPECT_EQ(parameter.name(), row.name);
    EXPECT_EQ(parameter.type(), row.type) << row.name;
    EXPECT_EQ(parameter.maxLength(), row.maxLength) << row.name;
    EXPECT_EQ(parameter.defaultValue(), row.defaultValue) << row.name;
    EXPECT_EQ(parameter.supportedValues(), row.supportedValues) << row.name;
    EXPECT_EQ(parameter.supportedHitTypes(), row.supportedHitTypes) << row.name;
    EXPECT_FALSE(parameter.isOptional()) << row.name;
  }
  EXPECT_EQ(catalogue.at("ec")->localizedName(), "ec.name");
}

TEST(ALKMeasurementTableTest, MapsPropertiesToParametersAndHitTypes) {
  const auto table = ALKGAMeasurementActivityPropertyDescription::supportedDescriptions();
  EXPECT_EQ(table.size(), 57u);
  int cd = 0;
  for (const auto& [property, description] : table) {
    ASSERT_TRUE(description->parameter()) << property;
    EXPECT_NE(description->parameter()->name(), "linkid");
    cd += description->parameter()->name() == "cd";
  }
  EXPECT_EQ(cd, 2);
  EXPECT_EQ(table.at("applicationInstallerIdentifier")->parameter()->name(), "aiid");

  const auto descriptions = ALKGAMeasurementActivityDescription::supportedDescriptions();
  EXPECT_EQ(descriptions.size(), 6u);
  for (const auto& [type, description] : descriptions) {
    std::vector<std::string> required;
    for (const auto& property : description->requiredParameters()) required.push_back(*property->parameter()->name());
    const std::vector<std::string> common{"v", "tid", "cid", "t"};
    const std::vector<std::string> social{"v", "tid", "cid", "t", "sn", "sa", "st"};
    EXPECT_EQ(required, type == "Social" ? social : common) << type;
    // One shared table: the same description objects for every type.
    EXPECT_EQ(description->propertyDescriptions().at("eventCategory"),
              descriptions.at("PageView")->propertyDescriptions().at("eventCategory"));
  }
}

TEST(ALKMeasurementTableTest, TransformsValuesAtTheirBoundaries) {
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"activityType", Value("Timing"), Value("timing"), nullptr},
      {"activityType", Value("Transaction"), Value(), "Invalid activity type to hit type property value transformation."},
      {"sessionControl", Value("endSession"), Value("end"), nullptr},
      {"sessionControl", Value("start"), Value(), "Invalid session control to session control property value transformation."},
      {"IPOverride", Value(""), Value(""), nullptr},
      {"IPOverride", Value(1), Value(), "Invalid user ip address to ip override property value transformation."},
      {"documentReferrer", Value(*platform::Url::fromString("http://a.example/p?q")), Value("http://a.example/p?q"), nullptr},
      {"documentReferrer", Value(3), Value(), "Invalid document referrer to document referrer property value transformation."},
      {"documentLocationURL", Value(3), Value(), "Invalid document location URL to document location URL property value transformation."},
      {"socialActionTarget", Value("t"), Value("t"), nullptr},
      {"screenResolution", Value("{1024, 768}"), Value("1024x768"), nullptr},
      {"screenResolution", Value("{1024.9, 768.2}"), Value("1024x768"), nullptr},
      {"screenResolution", Value("{0, 0}"), Value("{0, 0}"), "Invalid screen resolution to screen resolution property transformation. {{0, 0}}"},
      {"viewportSize", Value("{1e300, 5}"), Value("{1e300, 5}"), "Invalid viewport size to viewport size property transformation. {{1e300, 5}}"},
      {"viewportSize", Value("{-2147483648.5, 1}"), Value("-2147483648x1"), nullptr},
      {"viewportSize", Value("{2147483648, 1}"), Value("{2147483648, 1}"), "Invalid viewport size"},
      {"screenColors", Value(32), Value("32-bits"), nullptr},
      {"screenColors", Value("24"), Value("24-bits"), nullptr},
      {"screenColors", Value(1e300), Value("2147483647-bits"), nullptr},
      {"screenColors", Value(0), Value(), "Invalid screen colors to screen colors property transformation. {0}"},
      {"timingDuration", Value(0.0015), Value(2), nullptr},
      {"pageLoadDuration", Value("3"), Value(3000), nullptr},
      {"DNSLookupDuration", Value("1.2345"), Value(1235), nullptr},
      {"serverResponseDuration", Value(-0.5), Value(-500), nullptr},
      {"TCPConnectDuration", Value(9007199254740.0), Value(9007199254740000), nullptr},
      {"TCPConnectDuration", Value(9.1e12), Value(), "Invalid timing to timing property value transformation."},
      {"timingDuration", Value(inf), Value(), "Invalid timing to timing property value transformation."},
      {"timingDuration", Value("1e999"), Value(), "Invalid timing to timing property value transformation."},
      {"timingDuration", Value(platform::Date(0)), Value(), "Invalid timing to timing property value transformation."},
  };
  for (const Case& test : cases) {
    RecordingLoggerScope recorder;
    EXPECT_EQ(transformed(test.property, test.input), test.expected) << test.property << " " << test.input.description();
    if (test.warning) {
      EXPECT_TRUE(recorder->contains(test.warning)) << test.property << " " << test.input.description();
    } else {
      EXPECT_EQ(recorder->count("<WARNING>"), 0u) << test.property << " " << test.input.description();
    }
  }
}

TEST(ALKMeasurementTableTest, TransformsRefuseValuesOfOtherKinds) {
  RecordingLoggerScope recorder;
  const Value data = platform::Data{1};
  EXPECT_TRUE(transformed("activityType", Value(3)).isNil());
  EXPECT_TRUE(transformed("sessionControl", data).isNil());
  EXPECT_EQ(transformed("screenResolution", Value(1280)), Value(1280));
  EXPECT_TRUE(transformed("screenColors", data).isNil());
  EXPECT_TRUE(transformed("documentLocationURL", Value()).isNil());
  EXPECT_EQ(transformed("documentLocationURL", Value("/relative")), Value("/relative"));
  EXPECT_TRUE(transformed("socialActionTarget", data).isNil());
  EXPECT_TRUE(transformed("timingDuration", Value()).isNil());
  // Five warnings: nil values and strings pass silently.
  EXPECT_EQ(recorder->count("<WARNING>"), 5u);
}
