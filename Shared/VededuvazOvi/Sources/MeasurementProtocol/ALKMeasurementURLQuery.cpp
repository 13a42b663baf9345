#include "ALKMeasurementURLQuery.h"

#include <glib.h>

#include <algorithm>
#include <charconv>

#include "ALKErrors.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Archiving/KeyedArchiver.h"
#include "Values/Url.h"

namespace {

const ALKLogSource kQueryClass = ALKLogSource::forClass("ALKMeasurementURLQuery");
constexpr std::string_view kCacheBusterKey = "cacheBuster";

platform::ErrorPtr queryError(std::int64_t code) { return platform::Error::make(ALKErrorDomain, code); }

// Hands `error` to the handler; true when the build is to stop. A null
// handler stops at once.
bool report(const ALKMeasurementURLQuery::ErrorHandler& handler, const platform::ErrorPtr& error, bool& stop) {
  if (handler) handler(error, stop);
  return stop;
}

ALKMeasurementURLQuery::ErrorHandler keepingFirstError(platform::ErrorPtr* error) {
  return [error](const platform::ErrorPtr& reported, bool& stop) {
    if (error) *error = reported;
    stop = true;
  };
}

// A text for %@: nil shows as "(null)".
platform::Value described(const std::optional<std::string>& text) { return text ? platform::Value(*text) : platform::Value(); }

bool contains(const std::optional<platform::Array>& values, const platform::Value& value) {
  return values && std::ranges::find(*values, value) != values->end();
}

std::string decimal(std::int64_t number) {
  char buffer[24];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
}

// Writes a line `depth` indentation levels deeper than the caller's: the
// converters run one level deeper each, and since nothing but such a line is
// written inside those levels, they are raised only around the line.
template <class... Args>
void logNested(int depth, ALKLog::Tag tag, ALKLogFormat format, const Args&... args) {
  std::optional<ALKLogIndent> levels[2];
  for (int level = 0; level < depth && level < 2; ++level) levels[level].emplace();
  ALKLog::write(tag, kQueryClass, format, args...);
}

enum class Converter { Text, Boolean, Integer };

// The converters; `depth` is the indentation of their lines.
std::optional<std::string> convert(Converter converter, const platform::Value& value,
                                   const ALKMeasurementParameter& parameter, int depth) {
  if (!value.string() && !value.number()) {
    logNested(depth, ALKLog::Tag::Warning, "Unsupported value class {class: %@, param: %@}",
              platform::KeyedArchiver::archivedClassName(value), described(parameter.name()));
    return std::nullopt;
  }
  switch (converter) {
    case Converter::Text: return value.stringValue();
    case Converter::Boolean: return value.boolValue() ? "1" : "0";
    case Converter::Integer: return decimal(value.integerValue());
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<ALKMeasurementURLQuery> ALKMeasurementURLQuery::queryWithActivity(
    std::shared_ptr<const ALKActivity> activity, std::optional<ALKMeasurementDescriptions> descriptions) {
  if (!activity || !descriptions) {
    ALKLog::debug(kQueryClass, "Invalid arguments");
    return nullptr;
  }
  return std::make_shared<ALKMeasurementURLQuery>(Private(), std::move(activity), std::move(*descriptions));
}

ALKMeasurementURLQuery::ALKMeasurementURLQuery(Private, std::shared_ptr<const ALKActivity> activity,
                                               ALKMeasurementDescriptions descriptions)
    : activity_(std::move(activity)), descriptions_(std::move(descriptions)) {}

std::optional<std::string> ALKMeasurementURLQuery::queryForActivity(
    const std::shared_ptr<const ALKActivity>& activity, const std::optional<ALKMeasurementDescriptions>& descriptions,
    const ErrorHandler& handler) {
  const auto query = queryWithActivity(activity, descriptions);
  if (!query) {
    bool stop = true;
    report(handler, queryError(activity ? kALKErrorNoDescription : kALKErrorNoActivityType), stop);
    return std::nullopt;
  }
  return query->queryWithErrorHandler(handler);
}

std::optional<std::string> ALKMeasurementURLQuery::queryForActivity(
    const std::shared_ptr<const ALKActivity>& activity, const std::optional<ALKMeasurementDescriptions>& descriptions,
    platform::ErrorPtr* error) {
  return queryForActivity(activity, descriptions, keepingFirstError(error));
}

std::string ALKMeasurementURLQuery::queryWithError(platform::ErrorPtr* error) const {
  return queryWithErrorHandler(keepingFirstError(error));
}

std::string ALKMeasurementURLQuery::queryWithErrorHandler(const ErrorHandler& handler) const {
  ALKLogIndent indent;
  std::string query;
  query.reserve(512);
  bool stop = true;
  platform::ErrorPtr lastError;
  const auto fail = [&](std::int64_t code) {
    lastError = queryError(code);
    return report(handler, lastError, stop);
  };
  const auto finish = [&] {
    if (lastError) ALKLog::error(kQueryClass, "%@", lastError);
    return query;
  };

  // The hit kind and its description.
  const platform::Value activityType = activity_->valueForProperty(ALKActivity::kActivityTypeKey);
  if (activityType.isNil() && fail(kALKErrorNoActivityType)) return finish();
  const ALKMeasurementActivityDescription* description = nullptr;
  if (const auto* type = activityType.string()) {
    if (const auto found = descriptions_.find(*type); found != descriptions_.end()) description = found->second.get();
  }
  std::vector<std::string> missing;
  if (description) {
    for (const auto& required : description->requiredParameters()) {
      const auto& name = required && required->parameter() ? required->parameter()->name() : std::nullopt;
      if (name && std::ranges::find(missing, *name) == missing.end()) missing.push_back(*name);
    }
  } else if (fail(kALKErrorNoDescription)) {
    return finish();
  }
  const auto propertyDescription = [&](const std::string& property) -> const ALKMeasurementActivityPropertyDescription* {
    if (!description) return nullptr;
    const auto found = description->propertyDescriptions().find(property);
    return found != description->propertyDescriptions().end() ? found->second.get() : nullptr;
  };

  // The hit type.
  platform::Value hitType = activityType;
  if (const auto* typeDescription = propertyDescription(ALKActivity::kActivityTypeKey);
      typeDescription && typeDescription->valueTransform()) {
    hitType = typeDescription->valueTransform()(activityType, *typeDescription);
  }
  if (hitType.isNil()) {
    ALKLog::error(kQueryClass, "No hit type {prop: %@}", activityType);
    if (fail(kALKErrorNoHitType)) return finish();
  }

  // The properties in the activity's order, the cache buster last.
  static const platform::Dictionary kNoProperties;
  const auto& properties = activity_->mutableProperties() ? *activity_->mutableProperties() : kNoProperties;
  const platform::Dictionary::Entry* cacheBuster = nullptr;
  const auto write = [&](const std::string& name, const platform::Value& stored) {
    const auto* property = propertyDescription(name);
    if (!property) {
      ALKLog::warning(kQueryClass, "Property description not found {%@}", name);
      return true;
    }
    const auto& parameter = property->parameter();
    if (!parameter || !parameter->name()) {
      ALKLog::warning(kQueryClass, "Parameter description not found {%@}", name);
      return true;
    }
    const auto& hitTypes = parameter->supportedHitTypes();
    if (hitTypes && !hitTypes->empty() && !contains(hitTypes, hitType)) {
      ALKLog::warning(kQueryClass, "Unsupported parameter {prop: %@, param: %@, hit: %@, supported hits: %@}", name,
                      *parameter->name(), hitType, platform::Value(*hitTypes));
      return true;
    }
    const platform::Value* value = &stored;
    platform::Value transformed;
    if (property->valueTransform()) {
      transformed = property->valueTransform()(stored, *property);
      ALKLog::debug(kQueryClass, "Transform property value {prop: %@, value: %@ -> %@}", name, stored, transformed);
      value = &transformed;
    }
    // A string for a text parameter that allows any value is its own text.
    const std::string* plain = parameter->typeKind() == ALKMeasurementParameter::TypeKind::Text &&
                                       parameter->allowsAnyValue()
                                   ? value->string()
                                   : nullptr;
    const std::optional<std::string> text =
        plain ? std::nullopt : stringValueForPropertyValue(*value, *parameter);

    if (!query.empty()) query += '&';
    query += *parameter->name();
    query += '=';
    const std::size_t valueStart = query.size();
    if (plain || text) appendEscaped(query, plain ? *plain : *text);
    const std::size_t escapedLength = query.size() - valueStart;
    if (parameter->maxLength() != 0 && escapedLength > parameter->maxLength()) {
      query.resize(valueStart);
      ALKLog::error(kQueryClass, "Exceeded value length {value: '%@' max: %zd, actual: %zd}", *value,
                    parameter->maxLength(), escapedLength);
      if (fail(kALKErrorValueTooLong)) return false;
    }
    std::erase(missing, *parameter->name());
    return true;
  };
  bool goOn = true;
  for (const auto& entry : properties) {
    if (entry.first == kCacheBusterKey) {
      cacheBuster = &entry;
    } else if (!(goOn = write(entry.first, entry.second))) {
      break;
    }
  }
  if (goOn && cacheBuster) write(cacheBuster->first, cacheBuster->second);

  if (!lastError && !missing.empty()) {
    std::vector<platform::Value> names(missing.begin(), missing.end());
    ALKLog::error(kQueryClass, "Missing parameters: %@", platform::Value(std::move(names)));
    fail(kALKErrorMissingParameters);
  }
  return finish();
}

void ALKMeasurementURLQuery::appendEscaped(std::string& out, std::string_view text) {
  // GLib's UTF-8 checks refuse NUL, which is a character of its own here.
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t nul = std::min(text.find('\0', start), text.size());
    const std::string_view part = text.substr(start, nul - start);
    if (g_utf8_validate(part.data(), static_cast<gssize>(part.size()), nullptr)) {
      platform::Url::appendPercentEncoded(out, part);
    } else {
      gchar* valid = g_utf8_make_valid(part.data(), static_cast<gssize>(part.size()));
      platform::Url::appendPercentEncoded(out, valid);
      g_free(valid);
    }
    if (nul < text.size()) out += "%00";
    start = nul + 1;
  }
}

std::optional<std::string> ALKMeasurementURLQuery::stringValueForPropertyValue(const platform::Value& value,
                                                                               const ALKMeasurementParameter& parameter) {
  const platform::Value* given = &value;
  if (value.isNil() || value.isNull()) {
    logNested(1, ALKLog::Tag::Debug, "Use default value {param: %@}", described(parameter.name()));
    given = &parameter.defaultValue();
  }
  const platform::Value& sent = *given;
  if (sent.isNil()) return std::nullopt;
  using Kind = ALKMeasurementParameter::TypeKind;
  const Kind type = parameter.typeKind();
  const bool text = type == Kind::Text;
  const bool numeric = type == Kind::Boolean || type == Kind::Integer || type == Kind::Currency;
  if (!parameter.allowsAnyValue()) {
    // The check only reports: the value is sent all the same.
    if (!text && !numeric) {
      logNested(1, ALKLog::Tag::Warning, "Unexpected parameter type {param: %@, type: %@}", described(parameter.name()),
                described(parameter.type()));
    } else if (((text && sent.string()) || (numeric && sent.number())) && !parameter.allowsValue(sent)) {
      logNested(1, ALKLog::Tag::Error, "Unsupported value. {param: %@, value: %@, supported: %@}",
                described(parameter.name()), sent, platform::Value(*parameter.supportedValues()));
    }
  }
  if (text) return convert(Converter::Text, sent, parameter, 2);
  if (type == Kind::Boolean) return convert(Converter::Boolean, sent, parameter, 2);
  if (type == Kind::Integer) return convert(Converter::Integer, sent, parameter, 2);
  logNested(1, ALKLog::Tag::Warning, "Unexpected parameter type {param: %@, type: %@}", described(parameter.name()),
            described(parameter.type()));
  return std::nullopt;
}

std::optional<std::string> ALKMeasurementURLQuery::stringValueForTextPropertyValue(
    const platform::Value& value, const ALKMeasurementParameter& parameter) {
  return convert(Converter::Text, value, parameter, 1);
}

std::optional<std::string> ALKMeasurementURLQuery::stringValueForBooleanPropertyValue(
    const platform::Value& value, const ALKMeasurementParameter& parameter) {
  return convert(Converter::Boolean, value, parameter, 1);
}

std::optional<std::string> ALKMeasurementURLQuery::stringValueForIntegerPropertyValue(
    const platform::Value& value, const ALKMeasurementParameter& parameter) {
  return convert(Converter::Integer, value, parameter, 1);
}
