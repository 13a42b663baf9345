#include "ALKMeasurementParameter.h"

#include <algorithm>

#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Archiving/KeyedArchiver.h"

namespace {

const ALKLogSource kParameterClass = ALKLogSource::forClass("ALKMeasurementParameter");

// One catalogue row; empty fields are keys the definition leaves out.
struct Row {
  const char* name;
  const char* type;
  std::int64_t maxLength = 0;
  platform::Value defaultValue = {};
  platform::Array values = {};
  const char* hitType = nullptr;
  bool required = false;
};

platform::Dictionary definitionOf(const Row& row) {
  platform::Dictionary definition{{ALKMeasurementParameter::kNameKey, row.name},
                                  {ALKMeasurementParameter::kTypeKey, row.type}};
  if (row.maxLength) definition.set(ALKMeasurementParameter::kMaxLengthKey, row.maxLength);
  if (!row.defaultValue.isNil()) definition.set(ALKMeasurementParameter::kDefaultKey, row.defaultValue);
  if (!row.values.empty()) definition.set(ALKMeasurementParameter::kValuesKey, row.values);
  if (row.hitType) definition.set(ALKMeasurementParameter::kHitTypesKey, platform::Array{row.hitType});
  if (row.required) definition.set(ALKMeasurementParameter::kRequiredKey, true);
  return definition;
}

std::vector<platform::Dictionary> catalogueDefinitions() {
  using P = ALKMeasurementParameter;
  const Row rows[] = {
      {"v", P::kTypeText, 0, platform::Value(1), {}, nullptr, true},
      {"tid", P::kTypeText},
      {"aip", P::kTypeBoolean},
      {"qt", P::kTypeInteger},
      {"z", P::kTypeText},
      {"cid", P::kTypeText, 0, {}, {}, nullptr, true},
      {"uid", P::kTypeText},
      {"sc", P::kTypeText, 0, {}, {"start", "end"}},
      {"uip", P::kTypeText},
      {"ua", P::kTypeText},
      {"dr", P::kTypeText, 2048},
      {"cn", P::kTypeText, 100},
      {"cs", P::kTypeText, 100},
      {"cm", P::kTypeText, 50},
      {"ck", P::kTypeText, 500},
      {"cc", P::kTypeText, 500},
      {"ci", P::kTypeText, 100},
      {"gclid", P::kTypeText},
      {"dclid", P::kTypeText},
      {"sr", P::kTypeText, 20},
      {"vp", P::kTypeText, 20},
      {"de", P::kTypeText, 20, "UTF-8"},
      {"sd", P::kTypeText, 20},
      {"ul", P::kTypeText, 20},
      {"je", P::kTypeBoolean},
      {"fl", P::kTypeText, 20},
      {"t", P::kTypeText, 0, {},
       {"pageview", "appview", "event", "transaction", "item", "social", "exception", "timing"}},
      {"ni", P::kTypeBoolean},
      {"dl", P::kTypeText, 2048},
      {"dh", P::kTypeText, 100},
      {"dp", P::kTypeText, 2048},
      {"dt", P::kTypeText, 1500},
      {"cd", P::kTypeText, 2048},
      {"linkid", P::kTypeText},
      {"an", P::kTypeText, 100},
      {"aid", P::kTypeText, 150},
      {"av", P::kTypeText, 100},
      {"aiid", P::kTypeText, 150},
      {"ec", P::kTypeText, 150, {}, {}, "event"},
      {"ea", P::kTypeText, 500, {}, {}, "event"},
      {"el", P::kTypeText, 500, {}, {}, "event"},
      {"ev", P::kTypeInteger, 0, {}, {}, "event"},
      {"sn", P::kTypeText, 50, {}, {}, "social"},
      {"sa", P::kTypeText, 50, {}, {}, "social"},
      {"st", P::kTypeText, 2048, {}, {}, "social"},
      {"utc", P::kTypeText, 150, {}, {}, "timing"},
      {"utv", P::kTypeText, 500, {}, {}, "timing"},
      {"utt", P::kTypeInteger, 0, {}, {}, "timing"},
      {"utl", P::kTypeText, 500, {}, {}, "timing"},
      {"plt", P::kTypeInteger, 0, {}, {}, "timing"},
      {"dns", P::kTypeInteger, 0, {}, {}, "timing"},
      {"pdt", P::kTypeInteger, 0, {}, {}, "timing"},
      {"rrt", P::kTypeInteger, 0, {}, {}, "timing"},
      {"tcp", P::kTypeInteger, 0, {}, {}, "timing"},
      {"srt", P::kTypeInteger, 0, {}, {}, "timing"},
      {"exd", P::kTypeText, 150, {}, {}, "exception"},
      {"exf", P::kTypeBoolean, 0, platform::Value(true), {}, "exception"},
  };
  std::vector<platform::Dictionary> definitions;
  for (const Row& row : rows) definitions.push_back(definitionOf(row));
  return definitions;
}

bool isTextOrNumber(const platform::Value& value) { return value.string() || value.number(); }

}  // namespace

ALKMeasurementParameter::ALKMeasurementParameter(const platform::Dictionary& definition) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
  readFromDictionary(definition);
}

ALKMeasurementParameter::~ALKMeasurementParameter() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
}

void ALKMeasurementParameter::readFromDictionary(const platform::Dictionary& definition) {
  ALKLogIndent indent;
  const auto unusable = [&](const char* format, const char* key, const platform::Value& value) {
    ALKLog::warning(this, ALKLogFormat(format), key, value, platform::KeyedArchiver::archivedClassName(value));
  };
  // Runs `read` on the value of `key` when there is one; a value it refuses
  // (returns false for) is logged as unsupported.
  const auto readKey = [&](const char* key, const auto& read) {
    const platform::Value* value = definition.find(key);
    if (value && !value->isNil() && !read(*value)) {
      unusable("Unsupported param {key: %@, value: %@, class: %@}", key, *value);
    }
  };
  const auto readList = [&](const char* key, std::optional<platform::Array>& list) {
    readKey(key, [&](const platform::Value& value) {
      if (!value.array()) return false;
      list = *value.array();
      return true;
    });
  };
  const auto readFlag = [&](const char* key, bool negated) {
    readKey(key, [&](const platform::Value& value) {
      if (!isTextOrNumber(value)) return false;
      optional_ = value.boolValue() != negated;
      return true;
    });
  };

  if (const platform::Value* value = definition.find(kNameKey); value && !value->isNil()) {
    if (const auto* text = value->string()) {
      name_ = *text;
    } else {
      unusable("Unexpected param {key: %@, value: %@, class: %@}", kNameKey, *value);
    }
  }
  readKey(kTypeKey, [&](const platform::Value& value) {
    const auto* text = value.string();
    if (!text || !supportedParameterTypes().contains(*text)) return false;
    type_ = *text;
    typeKind_ = *text == kTypeText       ? TypeKind::Text
                : *text == kTypeCurrency ? TypeKind::Currency
                : *text == kTypeBoolean  ? TypeKind::Boolean
                                         : TypeKind::Integer;
    return true;
  });
  readList(kValuesKey, supportedValues_);
  readKey(kDefaultKey, [&](const platform::Value& value) {
    if (!isTextOrNumber(value)) return false;
    // A default outside the definition's own values is dropped.
    if (!supportedValues_ || std::ranges::find(*supportedValues_, value) != supportedValues_->end()) {
      defaultValue_ = value;
    }
    return true;
  });
  readKey(kMaxLengthKey, [&](const platform::Value& value) {
    if (!isTextOrNumber(value)) return false;
    // A negative length in either form means no room at all, not "no limit".
    const auto* number = value.number();
    maxLength_ = number && number->kind() == platform::Number::Kind::UInt
                     ? number->unsignedValue()
                     : static_cast<std::uint64_t>(std::max<std::int64_t>(value.integerValue(), 0));
    return true;
  });
  readList(kHitTypesKey, supportedHitTypes_);
  readFlag(kOptionalKey, false);
  readFlag(kRequiredKey, true);
}

bool ALKMeasurementParameter::allowsValue(const platform::Value& value) const {
  return allowsAnyValue() || std::ranges::find(*supportedValues_, value) != supportedValues_->end();
}

std::string ALKMeasurementParameter::localizedName() const { return name_.value_or("") + ".name"; }

std::string ALKMeasurementParameter::localizedDescription() const { return name_.value_or("") + ".desc"; }

std::map<std::string, ALKMeasurementParameterPtr> ALKMeasurementParameter::parametersWithArray(
    const std::vector<platform::Dictionary>& definitions) {
  std::map<std::string, ALKMeasurementParameterPtr> parameters;
  for (const auto& definition : definitions) {
    auto parameter = std::make_shared<const ALKMeasurementParameter>(definition);
    if (!parameter->name()) {
      ALKLog::warning(kParameterClass, "Parameter without a name skipped {%@}", definition);
      continue;
    }
    const std::string name = *parameter->name();
    parameters[name] = std::move(parameter);
  }
  return parameters;
}

std::map<std::string, ALKMeasurementParameterPtr> ALKMeasurementParameter::supportedParameters() {
  return parametersWithArray(catalogueDefinitions());
}

const std::set<std::string>& ALKMeasurementParameter::supportedParameterTypes() {
  static const std::set<std::string> types{kTypeText, kTypeCurrency, kTypeBoolean, kTypeInteger};
  return types;
}
