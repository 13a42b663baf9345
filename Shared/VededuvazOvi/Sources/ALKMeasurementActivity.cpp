#include "ALKMeasurementActivity.h"

#include "ALKLog.h"
#include "ALKLogIndent.h"

namespace {

const ALKLogSource kActivityClass = ALKLogSource::forClass("ALKActivity");

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

std::shared_ptr<ALKActivity> invalidArguments() {
  ALKLog::error(kActivityClass, "Invalid arguments");
  return nullptr;
}

}  // namespace

ALKMeasurementActivity::Text ALKMeasurementActivity::text(const char* key) const {
  const platform::Value value = activity_.valueForProperty(key);
  if (const auto* string = value.string()) return *string;
  return std::nullopt;
}

void ALKMeasurementActivity::setText(const char* key, Text value) {
  activity_.setValue(value ? platform::Value(std::move(*value)) : platform::Value(), key);
}

platform::Size ALKMeasurementActivity::size(const char* key) const {
  const platform::Value value = activity_.valueForProperty(key);
  const auto* string = value.string();
  return string ? platform::Size::fromString(*string) : platform::Size{};
}

std::uint64_t ALKMeasurementActivity::queueTime() const {
  const platform::Value value = activity_.valueForProperty("queueTime");
  if (const auto* number = value.number()) return number->unsignedValue();
  return static_cast<std::uint64_t>(value.integerValue());
}

void ALKMeasurementActivity::setDocumentPath(Text path) {
  if (path && !path->starts_with('/')) return;
  setText("documentPath", std::move(path));
}

void ALKMeasurementActivity::setEventValue(std::int64_t value) {
  if (value >= 0) set("eventValue", value);
}

std::shared_ptr<ALKActivity> ALKMeasurementActivity::activityWithType(const std::string& type) {
  auto activity = std::make_shared<ALKActivity>();
  activity->setValue(type, ALKActivity::kActivityTypeKey);
  return activity;
}

std::shared_ptr<ALKActivity> ALKMeasurementActivity::eventActivity(const Text& category, const Text& action,
                                                                   const Text& label, std::int64_t value) {
  ALKLogIndent indent;
  if (!nonEmpty(category) || !nonEmpty(action)) return invalidArguments();
  auto activity = activityWithType(ALKGAActivityTypeEvent);
  ALKMeasurementActivity event(*activity);
  event.setEventCategory(category);
  event.setEventAction(action);
  if (nonEmpty(label)) event.setEventLabel(label);
  event.setEventValue(value);
  return activity;
}

std::shared_ptr<ALKActivity> ALKMeasurementActivity::pageViewActivity(const Text& page, const Text& title) {
  auto activity = activityWithType(ALKGAActivityTypePageView);
  ALKMeasurementActivity view(*activity);
  view.setDocumentPath(page);
  view.setDocumentTitle(title);
  return activity;
}

std::shared_ptr<ALKActivity> ALKMeasurementActivity::appViewActivity(const Text& screenName) {
  auto activity = activityWithType(ALKGAActivityTypeAppView);
  ALKMeasurementActivity view(*activity);
  view.setScreenName(screenName);
  view.setContentDescription(screenName);
  return activity;
}

std::shared_ptr<ALKActivity> ALKMeasurementActivity::socialActivity(const Text& network, const Text& action,
                                                                    const Text& target) {
  ALKLogIndent indent;
  if (!nonEmpty(network) || !nonEmpty(action) || !target) return invalidArguments();
  auto activity = activityWithType(ALKGAActivityTypeSocial);
  ALKMeasurementActivity social(*activity);
  social.setSocialNetwork(network);
  social.setSocialAction(action);
  social.setSocialActionTarget(target);
  return activity;
}

std::shared_ptr<ALKActivity> ALKMeasurementActivity::timingActivity(const Text& category, double duration,
                                                                    const Text& name, const Text& label) {
  ALKLogIndent indent;
  if (!nonEmpty(category) || !(duration > 0.0)) return invalidArguments();
  auto activity = activityWithType(ALKGAActivityTypeTiming);
  ALKMeasurementActivity timing(*activity);
  timing.setTimingCategory(category);
  timing.setTimingDuration(duration);
  if (nonEmpty(name)) timing.setTimingVariable(name);
  if (nonEmpty(label)) timing.setTimingLabel(label);
  return activity;
}

std::shared_ptr<ALKActivity> ALKMeasurementActivity::exceptionActivity(const Text& description, bool fatal) {
  auto activity = activityWithType(ALKGAActivityTypeException);
  ALKMeasurementActivity exception(*activity);
  exception.setExceptionDescription(description);
  exception.setExceptionFatal(fatal);
  return activity;
}

std::shared_ptr<ALKActivity> ALKMeasurementActivity::googleAnalyticsActivity(const std::string& type) {
  if (type == ALKGAActivityTypeAppView) return appViewActivity(std::nullopt);
  if (type == ALKGAActivityTypePageView) return pageViewActivity(std::nullopt, std::nullopt);
  if (type == ALKGAActivityTypeEvent) return eventActivity(std::nullopt, std::nullopt, std::nullopt, -1);
  if (type == ALKGAActivityTypeException) return exceptionActivity(std::nullopt);
  return activityWithType(type);
}
