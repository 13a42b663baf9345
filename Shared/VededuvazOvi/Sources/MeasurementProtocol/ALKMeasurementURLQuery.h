#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ALKActivity.h"
#include "ALKMeasurementActivityDescription.h"
#include "Errors/Error.h"

// The query could not be built (ALKErrorDomain; no user info).
inline constexpr std::int64_t kALKErrorNoActivityType = -100;     // no "activityType", or no activity
inline constexpr std::int64_t kALKErrorNoDescription = -101;      // no description for the type, or none at all
inline constexpr std::int64_t kALKErrorMissingParameters = -102;  // required parameters absent
inline constexpr std::int64_t kALKErrorValueTooLong = -103;       // an escaped value over its parameter's maximum
inline constexpr std::int64_t kALKErrorNoHitType = -104;          // the activity type gives no hit type

// The query text of one measurement hit: "name=value" pairs joined by "&",
// each value converted by its parameter's type and percent-escaped as UTF-8
// (every byte outside A-Z a-z 0-9 - . _ ~ as %XX; invalid UTF-8 becomes
// U+FFFD first). The pairs come in the activity's order, "z" last. A pure
// computation on the caller's thread; the object serves one activity.
class ALKMeasurementURLQuery {
  struct Private {
    explicit Private() = default;
  };

 public:
  // Called on the building thread for each error with `stop` set to true
  // unless an earlier call cleared it; clearing it lets the build go on.
  using ErrorHandler = std::function<void(const platform::ErrorPtr& error, bool& stop)>;

  // The query of `activity`; nullptr, with the DEBUG line "Invalid
  // arguments", without an activity or without descriptions.
  static std::shared_ptr<ALKMeasurementURLQuery> queryWithActivity(
      std::shared_ptr<const ALKActivity> activity, std::optional<ALKMeasurementDescriptions> descriptions);
  ALKMeasurementURLQuery(Private, std::shared_ptr<const ALKActivity> activity, ALKMeasurementDescriptions descriptions);

  // Never nil.
  const std::shared_ptr<const ALKActivity>& activity() const { return activity_; }
  const ALKMeasurementDescriptions& descriptions() const { return descriptions_; }

  // The query text, or nullopt (with -100 for no activity, else -101 for no
  // descriptions) when there is nothing to build from. A null handler stops
  // at the first error. Only an error-free build is a valid hit: after an
  // error the text built so far is returned.
  static std::optional<std::string> queryForActivity(const std::shared_ptr<const ALKActivity>& activity,
                                                     const std::optional<ALKMeasurementDescriptions>& descriptions,
                                                     const ErrorHandler& handler);
  // The same, ending at the first error, which is stored through `error`.
  static std::optional<std::string> queryForActivity(const std::shared_ptr<const ALKActivity>& activity,
                                                     const std::optional<ALKMeasurementDescriptions>& descriptions,
                                                     platform::ErrorPtr* error = nullptr);

  std::string queryWithErrorHandler(const ErrorHandler& handler) const;
  std::string queryWithError(platform::ErrorPtr* error) const;

  // The text of one value for `parameter`: nil or null takes the default;
  // then by type ("text", "bool", "int"); nullopt when there is none.
  static std::optional<std::string> stringValueForPropertyValue(const platform::Value& value,
                                                                const ALKMeasurementParameter& parameter);
  static std::optional<std::string> stringValueForTextPropertyValue(const platform::Value& value,
                                                                    const ALKMeasurementParameter& parameter);
  static std::optional<std::string> stringValueForBooleanPropertyValue(const platform::Value& value,
                                                                       const ALKMeasurementParameter& parameter);
  static std::optional<std::string> stringValueForIntegerPropertyValue(const platform::Value& value,
                                                                       const ALKMeasurementParameter& parameter);
  // Appends `text` percent-escaped to `out`.
  static void appendEscaped(std::string& out, std::string_view text);

 private:
  std::shared_ptr<const ALKActivity> activity_;
  ALKMeasurementDescriptions descriptions_;
};
