#include "ALKPropertyBag.h"

#include <typeinfo>

#include "ALKLog.h"
#include "ALKLogIndent.h"

platform::Value ALKPropertyBag::valueForProperty(const std::string& name) const {
  return mutableProperties_ ? mutableProperties_->objectForKey(name) : platform::Value();
}

void ALKPropertyBag::setValue(platform::Value value, const std::string& name) {
  ALKLogIndent indent;
  willChangeValueForProperty(name);
  if (!value.isNil()) {
    if (!mutableProperties_) mutableProperties_ = std::make_shared<platform::Dictionary>();
    ALKLog::info(this, "Set property {%@ : %@}", name, value);
    mutableProperties_->set(name, std::move(value));
  } else {
    ALKLog::info(this, "Remove property {%@}", name);
    if (mutableProperties_) mutableProperties_->remove(name);
  }
  didChangeValueForProperty(name);
}

void ALKPropertyBag::removeAllProperties() {
  ALKLogIndent indent;
  const auto names = mutableProperties_ ? mutableProperties_->keys() : std::vector<std::string>();
  ALKLog::info(this, "Remove all properties {%zd}.", names.size());
  for (const auto& name : names) setValue(platform::Value(), name);
}

std::optional<platform::Dictionary> ALKPropertyBag::properties() const {
  if (!mutableProperties_) return std::nullopt;
  return *mutableProperties_;
}

bool ALKPropertyBag::isEqual(const platform::Object& other) const {
  if (this == &other) return true;
  if (typeid(*this) != typeid(other)) return false;
  const auto& theirs = static_cast<const ALKPropertyBag&>(other).mutableProperties_;
  if (mutableProperties_ == theirs) return true;
  return mutableProperties_ && theirs && *mutableProperties_ == *theirs;
}

std::size_t ALKPropertyBag::hash() const { return mutableProperties_ ? mutableProperties_->hash() : 0; }

std::shared_ptr<platform::Dictionary> ALKPropertyBag::copiedProperties() const {
  return mutableProperties_ ? std::make_shared<platform::Dictionary>(*mutableProperties_) : nullptr;
}
