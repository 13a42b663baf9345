#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "Values/Dictionary.h"
#include "Values/Object.h"
#include "Values/Value.h"

// The dictionary of named values that activities and configurations are made
// of. "No dictionary" and "an empty dictionary" are two states: the
// dictionary is made by the first stored value and never dropped again. A bag
// has no lock; one thread uses it at a time.
class ALKPropertyBag : public platform::Object {
 public:
  // The value for `name` (nil when absent).
  virtual platform::Value valueForProperty(const std::string& name) const;
  // Runs willChangeValueForProperty, stores `value` (nil removes the key)
  // with an INFO line, then runs didChangeValueForProperty. Values are not
  // copied.
  void setValue(platform::Value value, const std::string& name);
  void removeValueForProperty(const std::string& name) { setValue(platform::Value(), name); }
  // Removes every key of a snapshot of the keys through setValue.
  void removeAllProperties();

  bool hasProperties() const { return mutableProperties_ && !mutableProperties_->empty(); }
  // A copy of the own values; nullopt when there is no dictionary.
  std::optional<platform::Dictionary> properties() const;

  platform::Value objectForKeyedSubscript(const std::string& name) const { return valueForProperty(name); }
  void setObject(platform::Value value, const std::string& name) { setValue(std::move(value), name); }

  // Hooks run before and after every change made through setValue, on the
  // thread that makes it; empty here.
  virtual void willChangeValueForProperty(const std::string&) {}
  virtual void didChangeValueForProperty(const std::string&) {}

  // The own dictionary itself: changes made through it bypass the hooks.
  const std::shared_ptr<platform::Dictionary>& mutableProperties() const { return mutableProperties_; }
  void setMutableProperties(std::shared_ptr<platform::Dictionary> properties) {
    mutableProperties_ = std::move(properties);
  }

  // Equal when the other is of exactly the same class and both hold the same
  // dictionary object (or none) or equal dictionaries.
  bool isEqual(const platform::Object& other) const override;
  // The dictionary's hash; 0 without one.
  std::size_t hash() const override;

 protected:
  // Takes the dictionary itself as storage, without copying it.
  explicit ALKPropertyBag(std::shared_ptr<platform::Dictionary> properties)
      : mutableProperties_(std::move(properties)) {}
  // A mutable copy of the own dictionary for a copy of the bag; nullptr stays.
  std::shared_ptr<platform::Dictionary> copiedProperties() const;

 private:
  std::shared_ptr<platform::Dictionary> mutableProperties_;
};

// Gives a subclass of ALKActivity or ALKConfig copies of its own class, made
// by its constructor from a dictionary on a copy of the own one, as the base
// class makes its copies:
//   class MyActivity : public ALKCopiedAsOwnClass<MyActivity, ALKActivity> {
//    public:
//     using ALKCopiedAsOwnClass::ALKCopiedAsOwnClass;
//   };
// A subclass derived straight from the base copies as the base class.
template <class Derived, class Base>
class ALKCopiedAsOwnClass : public Base {
 public:
  using Base::Base;
  std::shared_ptr<platform::Object> copy() const override {
    return std::make_shared<Derived>(this->copiedProperties());
  }
};
