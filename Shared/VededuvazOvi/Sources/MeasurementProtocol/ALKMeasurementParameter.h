#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Values/Dictionary.h"
#include "Values/Object.h"
#include "Values/Value.h"

class ALKMeasurementParameter;
using ALKMeasurementParameterPtr = std::shared_ptr<const ALKMeasurementParameter>;

// One parameter of the measurement protocol: its wire name, value type,
// default, allowed values, longest escaped value and the hit types it belongs
// to. Read from a definition dictionary and never changed afterwards, so it
// is shared freely between threads.
class ALKMeasurementParameter : public platform::Object {
 public:
  // Value types.
  static constexpr const char* kTypeText = "text";
  static constexpr const char* kTypeCurrency = "currency";
  static constexpr const char* kTypeBoolean = "bool";
  static constexpr const char* kTypeInteger = "int";

  // Definition keys.
  static constexpr const char* kNameKey = "name";
  static constexpr const char* kTypeKey = "type";
  static constexpr const char* kValuesKey = "values";
  static constexpr const char* kDefaultKey = "default";
  static constexpr const char* kMaxLengthKey = "maxLength";
  static constexpr const char* kHitTypesKey = "hitTypes";
  static constexpr const char* kOptionalKey = "optional";
  static constexpr const char* kRequiredKey = "required";

  // A parameter read from `definition` (readFromDictionary).
  explicit ALKMeasurementParameter(const platform::Dictionary& definition);
  ~ALKMeasurementParameter() override;

  // nullopt when the definition gave no usable one.
  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& type() const { return type_; }
  // The type as a kind (None without one), for dispatching on it.
  enum class TypeKind : std::uint8_t { None, Text, Currency, Boolean, Integer };
  TypeKind typeKind() const { return typeKind_; }
  // Nil when there is none.
  const platform::Value& defaultValue() const { return defaultValue_; }
  // nullopt: any value.
  const std::optional<platform::Array>& supportedValues() const { return supportedValues_; }
  // Whether `value` may be sent: any value when the list is absent or empty.
  bool allowsAnyValue() const { return !supportedValues_ || supportedValues_->empty(); }
  bool allowsValue(const platform::Value& value) const;
  // Longest escaped value in bytes; 0 = no limit.
  std::uint64_t maxLength() const { return maxLength_; }
  // nullopt: every hit type.
  const std::optional<platform::Array>& supportedHitTypes() const { return supportedHitTypes_; }
  bool isOptional() const { return optional_; }

  // The texts for "<name>.name" and "<name>.desc"; no table of them ships,
  // so each is its key.
  std::string localizedName() const;
  std::string localizedDescription() const;

  // Parameters by name, one per definition; a later definition of a name
  // replaces an earlier one, and a definition without a name is skipped
  // with a WARNING.
  static std::map<std::string, ALKMeasurementParameterPtr> parametersWithArray(
      const std::vector<platform::Dictionary>& definitions);
  // The 57 parameters the library knows.
  static std::map<std::string, ALKMeasurementParameterPtr> supportedParameters();
  static const std::set<std::string>& supportedParameterTypes();


 private:
  // Sets the properties from the keys present, in a fixed order; an
  // unusable key is logged and skipped.
  void readFromDictionary(const platform::Dictionary& definition);

  std::optional<std::string> name_;
  std::optional<std::string> type_;
  TypeKind typeKind_ = TypeKind::None;
  platform::Value defaultValue_;
  std::optional<platform::Array> supportedValues_;
  std::uint64_t maxLength_ = 0;
  std::optional<platform::Array> supportedHitTypes_;
  bool optional_ = false;
};
