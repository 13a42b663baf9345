#include "ALKMeasurementActivityPropertyDescription.h"

#include "ALKLog.h"
#include "ALKLogIndent.h"

ALKMeasurementActivityPropertyDescription::ALKMeasurementActivityPropertyDescription(
    std::string activityProperty, ALKMeasurementParameterPtr parameter)
    : activityProperty_(std::move(activityProperty)), parameter_(std::move(parameter)) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
}

ALKMeasurementActivityPropertyDescription::~ALKMeasurementActivityPropertyDescription() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
}
