#include "ALKGAMeasurementActivityPropertyDescription.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "ALKMeasurementActivity.h"
#include "ALKTracker.h"
#include "Values/Size.h"

namespace {

using Description = ALKMeasurementActivityPropertyDescription;
using Transform = Description::ValueTransform;

const ALKLogSource kTableClass = ALKLogSource::forClass("ALKMeasurementActivityPropertyDescription");

// The rows in building order: activity property, parameter name.
constexpr std::pair<const char*, const char*> kRows[] = {
    {"protocolVersion", "v"},
    {"trackingId", "tid"},
    {"shouldAnonymizeIP", "aip"},
    {"queueTime", "qt"},
    {"cacheBuster", "z"},
    {"clientId", "cid"},
    {"userId", "uid"},
    {"sessionControl", "sc"},
    {"IPOverride", "uip"},
    {"userAgentOverride", "ua"},
    {"screenResolution", "sr"},
    {"viewportSize", "vp"},
    {"documentEncoding", "de"},
    {"screenColors", "sd"},
    {"userLanguage", "ul"},
    {"javaEnabled", "je"},
    {"flashVersion", "fl"},
    {"documentReferrer", "dr"},
    {"campaignName", "cn"},
    {"campaignSource", "cs"},
    {"campaignMedium", "cm"},
    {"campaignKeyword", "ck"},
    {"campaignContent", "cc"},
    {"campaignId", "ci"},
    {"googleAdWordsId", "gclid"},
    {"googleDisplayAdsId", "dclid"},
    {"activityType", "t"},
    {"nonInteractive", "ni"},
    {"documentLocationURL", "dl"},
    {"documentHostName", "dh"},
    {"documentPath", "dp"},
    {"documentTitle", "dt"},
    {"screenName", "cd"},
    {"contentDescription", "cd"},
    {"appName", "an"},
    {"applicationIdentifier", "aid"},
    {"appVersion", "av"},
    {"applicationInstallerIdentifier", "aiid"},
    {"eventCategory", "ec"},
    {"eventAction", "ea"},
    {"eventLabel", "el"},
    {"eventValue", "ev"},
    {"socialNetwork", "sn"},
    {"socialAction", "sa"},
    {"socialActionTarget", "st"},
    {"timingCategory", "utc"},
    {"timingVariable", "utv"},
    {"timingDuration", "utt"},
    {"timingLabel", "utl"},
    {"pageLoadDuration", "plt"},
    {"DNSLookupDuration", "dns"},
    {"pageDownloadDuration", "pdt"},
    {"redirectResponseDuration", "rrt"},
    {"TCPConnectDuration", "tcp"},
    {"serverResponseDuration", "srt"},
    {"exceptionDescription", "exd"},
    {"exceptionFatal", "exf"},
};

// Whether `value` is among the parameter's allowed values; nil never is.
bool isSupported(const platform::Value& value, const Description& description) {
  return !value.isNil() && (!description.parameter() || description.parameter()->allowsValue(value));
}

// A fixed map of texts; anything else gives nil. A result outside the
// parameter's values logs `warning`.
Transform mapping(std::vector<std::pair<const char*, const char*>> map, const char* warning) {
  return [map = std::move(map), warning](const platform::Value& value, const Description& description) {
    platform::Value result;
    if (const auto* text = value.string()) {
      for (const auto& [from, to] : map) {
        if (*text == from) result = to;
      }
    }
    if (!isSupported(result, description)) ALKLog::warning(kTableClass, ALKLogFormat(warning));
    return result;
  };
}

// A URL's text or a string as it is; nil gives nil, anything else nil and
// `warning`.
Transform urlOrText(const char* warning) {
  return [warning](const platform::Value& value, const Description&) -> platform::Value {
    if (const auto* url = value.url()) return url->absoluteString();
    if (value.string() || value.isNil()) return value;
    ALKLog::warning(kTableClass, ALKLogFormat(warning));
    return {};
  };
}

void appendInt(std::string& text, std::int64_t number) {
  char buffer[24];
  text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
}

// Whether truncating `dimension` toward zero gives a 32-bit integer.
bool fitsInt32(double dimension) {
  return std::isfinite(dimension) && dimension > std::numeric_limits<std::int32_t>::min() - 1.0 &&
         dimension < std::numeric_limits<std::int32_t>::max() + 1.0;
}

// A size text as "<w>x<h>"; an unreadable, zero or unrepresentable size
// comes back unchanged with `warning`.
Transform size(const char* warning) {
  return [warning](const platform::Value& value, const Description&) -> platform::Value {
    if (const auto* text = value.string()) {
      const platform::Size size = platform::Size::fromString(*text);
      if (!size.isZero() && fitsInt32(size.width) && fitsInt32(size.height)) {
        std::string result;
        appendInt(result, static_cast<std::int32_t>(size.width));
        result += 'x';
        appendInt(result, static_cast<std::int32_t>(size.height));
        return result;
      }
    }
    ALKLog::warning(kTableClass, ALKLogFormat(warning), value);
    return value;
  };
}

platform::Value colourDepth(const platform::Value& value, const Description&) {
  const std::int32_t bits = value.intValue();
  if (bits < 1) {
    ALKLog::warning(kTableClass, "Invalid screen colors to screen colors property transformation. {%@}", value);
    return {};
  }
  std::string text;
  appendInt(text, bits);
  return text + "-bits";
}

platform::Value ipOverride(const platform::Value& value, const Description&) {
  if (value.string()) return value;
  ALKLog::warning(kTableClass, "Invalid user ip address to ip override property value transformation.");
  return {};
}

// Seconds to whole milliseconds, halves away from zero. A value that is not
// finite or beyond 2^53 ms has no exact count of milliseconds and is refused.
platform::Value duration(const platform::Value& value, const Description&) {
  if (value.isNil()) return {};
  constexpr double kLargestExact = 9007199254740992.0;  // 2^53
  const double milliseconds = value.doubleValue() * 1000.0;
  if ((!value.number() && !value.string()) || !std::isfinite(milliseconds) ||
      std::fabs(milliseconds) > kLargestExact) {
    ALKLog::warning(kTableClass, "Invalid timing to timing property value transformation.");
    return {};
  }
  return static_cast<std::int64_t>(std::llround(milliseconds));
}

// Sets the transform of the row `property`.
void install(std::map<std::string, std::shared_ptr<Description>>& table, const char* property, Transform transform) {
  if (const auto found = table.find(property); found != table.end()) found->second->setValueTransform(std::move(transform));
}

}  // namespace

ALKMeasurementPropertyTable ALKGAMeasurementActivityPropertyDescription::supportedDescriptions() {
  ALKLogIndent indent;
  const auto parameters = ALKMeasurementParameter::supportedParameters();
  std::map<std::string, std::shared_ptr<Description>> table;
  for (const auto& [property, parameterName] : kRows) {
    const auto parameter = parameters.find(parameterName);
    auto description = std::make_shared<Description>(
        property, parameter != parameters.end() ? parameter->second : nullptr);
    if (!table.emplace(property, std::move(description)).second) {
      ALKLog::error(kTableClass, "Detected property overwriting.");
    }
  }

  // Session.
  install(table, "sessionControl",
          mapping({{ALKSessionControlStart, "start"}, {ALKSessionControlEnd, "end"}},
                  "Invalid session control to session control property value transformation."));
  install(table, "IPOverride", ipOverride);
  // Traffic sources.
  install(table, "documentReferrer",
          urlOrText("Invalid document referrer to document referrer property value transformation."));
  // Hit.
  install(table, ALKActivity::kActivityTypeKey,
          mapping({{ALKGAActivityTypeAppView, "appview"},
                   {ALKGAActivityTypePageView, "pageview"},
                   {ALKGAActivityTypeEvent, "event"},
                   {ALKGAActivityTypeSocial, "social"},
                   {ALKGAActivityTypeTiming, "timing"},
                   {ALKGAActivityTypeException, "exception"}},
                  "Invalid activity type to hit type property value transformation."));
  // Content information.
  install(table, "documentLocationURL",
          urlOrText("Invalid document location URL to document location URL property value transformation."));
  // System info.
  install(table, "screenResolution", size("Invalid screen resolution to screen resolution property transformation. {%@}"));
  install(table, "viewportSize", size("Invalid viewport size to viewport size property transformation. {%@}"));
  install(table, "screenColors", colourDepth);
  // Social.
  install(table, "socialActionTarget",
          urlOrText("Invalid social action target to social action target property value transformation."));
  // Timing: one transform for every duration.
  for (const char* property : {"timingDuration", "pageLoadDuration", "DNSLookupDuration", "pageDownloadDuration",
                               "redirectResponseDuration", "TCPConnectDuration", "serverResponseDuration"}) {
    install(table, property, duration);
  }

  return ALKMeasurementPropertyTable(table.begin(), table.end());
}
