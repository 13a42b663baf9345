#include "ALKActivity.h"

#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Values/Date.h"

namespace {
constexpr const char* kPropertiesKey = "properties";
}  // namespace

ALKActivity::ALKActivity(std::shared_ptr<platform::Dictionary> mutableProperties) : ALKPropertyBag(nullptr) {
  initialize(std::move(mutableProperties));
}

ALKActivity::ALKActivity(platform::KeyedUnarchiver& coder) : ALKPropertyBag(nullptr) {
  ALKLogIndent indent;
  const platform::Value decoded = coder.decodeObject(kPropertiesKey);
  std::shared_ptr<platform::Dictionary> properties;
  if (const auto* dictionary = decoded.dictionary()) {
    properties = std::make_shared<platform::Dictionary>(*dictionary);
  } else if (!decoded.isNil()) {
    ALKLog::error(this, "Unsupported value type. {expected: NSDictionary, actual: %@}",
                  platform::KeyedArchiver::archivedClassName(decoded));
  }
  initialize(std::move(properties));
}

void ALKActivity::initialize(std::shared_ptr<platform::Dictionary> mutableProperties) {
  ALKLogIndent indent;
  setMutableProperties(std::move(mutableProperties));
  ALKLog::debug(this, "Init {%@}", this->mutableProperties());
}

ALKActivity::~ALKActivity() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
}

std::optional<std::vector<std::string>> ALKActivity::propertyNames() const {
  if (!mutableProperties()) return std::nullopt;
  return mutableProperties()->keys();
}

std::string ALKActivity::description() const {
  return platform::format("<%@: %p> = {type: %@}", className(), this, valueForProperty(kActivityTypeKey));
}

std::shared_ptr<platform::Object> ALKActivity::copy() const {
  return std::make_shared<ALKActivity>(copiedProperties());
}

void ALKActivity::encodeWithCoder(platform::KeyedArchiver& archiver) const {
  if (mutableProperties()) archiver.encodeObject(platform::Value(*mutableProperties()), kPropertiesKey);
}

platform::KeyedUnarchiver::DecodableClass ALKActivity::decodableClass() {
  return {"ALKActivity", [](platform::KeyedUnarchiver& coder) -> platform::ObjectPtr {
            return std::make_shared<ALKActivity>(coder);
          }};
}

double ALKActivity::timestamp() const { return valueForProperty(kTimestampKey).doubleValue(); }

void ALKActivity::setTimestamp(double timestamp) { setValue(platform::Value(timestamp), kTimestampKey); }

double ALKActivity::currentTimestamp() { return platform::Date::now().timeIntervalSinceReferenceDate(); }
