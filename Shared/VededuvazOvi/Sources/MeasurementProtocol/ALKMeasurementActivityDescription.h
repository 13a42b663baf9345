#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ALKMeasurementActivityPropertyDescription.h"
#include "Values/Object.h"

class ALKMeasurementActivityDescription;
using ALKMeasurementActivityDescriptionPtr = std::shared_ptr<ALKMeasurementActivityDescription>;
// Activity type -> its description.
using ALKMeasurementDescriptions = std::map<std::string, ALKMeasurementActivityDescriptionPtr>;

// How activities of one type become hits: the properties that may be sent
// and those a hit must carry. Immutable; the property descriptions are
// shared with the table it was given.
class ALKMeasurementActivityDescription : public platform::Object {
 public:
  ALKMeasurementActivityDescription(std::string activityType,
                                    std::vector<ALKMeasurementActivityPropertyDescriptionPtr> requiredParameters,
                                    ALKMeasurementPropertyTable propertyDescriptions);
  ~ALKMeasurementActivityDescription() override;

  const std::string& activityType() const { return activityType_; }
  const std::vector<ALKMeasurementActivityPropertyDescriptionPtr>& requiredParameters() const {
    return requiredParameters_;
  }
  const ALKMeasurementPropertyTable& propertyDescriptions() const { return propertyDescriptions_; }


 private:
  std::string activityType_;
  std::vector<ALKMeasurementActivityPropertyDescriptionPtr> requiredParameters_;
  ALKMeasurementPropertyTable propertyDescriptions_;
};
