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

TEST(ALKMeasurementParameterTest, KnowsTheCatalogue) {
  const auto catalogue = ALKMeasurementParameter::supportedParameters();
  EXPECT_EQ(catalogue.size(), 57u);
  for (const auto& [name, parameter] : catalogue) {
    EXPECT_TRUE(parameter->type() && *parameter->type() != "currency") << name;
    EXPECT_FALSE(parameter->isOptional()) << name;
  }
  EXPECT_EQ(catalogue.at("dl")->maxLength(), 2048u);
  EXPECT_EQ(catalogue.at("exf")->defaultValue(), Value(true));
  EXPECT_EQ(catalogue.at("exf")->supportedHitTypes(), platform::Array{"exception"});
  EXPECT_EQ(catalogue.at("de")->defaultValue(), Value("UTF-8"));
  EXPECT_EQ(catalogue.at("v")->defaultValue(), Value(1));
  EXPECT_EQ(catalogue.at("t")->supportedValues()->size(), 8u);
  EXPECT_EQ(catalogue.at("linkid")->maxLength(), 0u);
  EXPECT_FALSE(catalogue.at("linkid")->supportedHitTypes());
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
