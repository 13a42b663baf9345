#pragma once

#include <functional>
#include <unordered_map>
#include <memory>
#include <string>

#include "ALKMeasurementParameter.h"
#include "Values/Object.h"
#include "Values/Value.h"

class ALKMeasurementActivityPropertyDescription;
using ALKMeasurementActivityPropertyDescriptionPtr = std::shared_ptr<const ALKMeasurementActivityPropertyDescription>;
// Activity property name -> its description.
using ALKMeasurementPropertyTable = std::unordered_map<std::string, ALKMeasurementActivityPropertyDescriptionPtr>;

// Ties one activity property to the measurement parameter it is sent as,
// optionally with a transform from the stored value to the value to send.
// Built once, then only read (from any thread).
class ALKMeasurementActivityPropertyDescription : public platform::Object {
 public:
  // The stored value and this description -> the value to send; nil when
  // there is none. Runs on the thread that builds a query; keeps no state.
  using ValueTransform =
      std::function<platform::Value(const platform::Value& value, const ALKMeasurementActivityPropertyDescription&)>;

  ALKMeasurementActivityPropertyDescription(std::string activityProperty, ALKMeasurementParameterPtr parameter);
  ~ALKMeasurementActivityPropertyDescription() override;

  const std::string& activityProperty() const { return activityProperty_; }
  // Shared with the catalogue; nullptr when the catalogue had none.
  const ALKMeasurementParameterPtr& parameter() const { return parameter_; }
  const ValueTransform& valueTransform() const { return valueTransform_; }
  void setValueTransform(ValueTransform transform) { valueTransform_ = std::move(transform); }


 private:
  std::string activityProperty_;
  ALKMeasurementParameterPtr parameter_;
  ValueTransform valueTransform_;
};
