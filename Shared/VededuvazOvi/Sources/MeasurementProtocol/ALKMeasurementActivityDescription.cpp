#include "ALKMeasurementActivityDescription.h"

#include "ALKLog.h"
#include "ALKLogIndent.h"

ALKMeasurementActivityDescription::ALKMeasurementActivityDescription(
    std::string activityType, std::vector<ALKMeasurementActivityPropertyDescriptionPtr> requiredParameters,
    ALKMeasurementPropertyTable propertyDescriptions)
    : activityType_(std::move(activityType)),
      requiredParameters_(std::move(requiredParameters)),
      propertyDescriptions_(std::move(propertyDescriptions)) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
}

ALKMeasurementActivityDescription::~ALKMeasurementActivityDescription() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
}
