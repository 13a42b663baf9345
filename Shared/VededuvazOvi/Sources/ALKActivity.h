#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ALKPropertyBag.h"
#include "Archiving/KeyedArchiver.h"
#include "Archiving/KeyedCoding.h"
#include "Archiving/KeyedUnarchiver.h"

// One analytics hit: a bag of named properties. Its stored form is a keyed
// archive whose root object is recorded as "ALKActivity" with one key,
// "properties", holding the dictionary (no key at all without one).
class ALKActivity : public ALKPropertyBag, public platform::KeyedCoding {
 public:
  static constexpr const char* kTimestampKey = "timestamp";
  static constexpr const char* kActivityTypeKey = "activityType";

  // An activity without a dictionary.
  ALKActivity() : ALKActivity(nullptr) {}
  // Takes `mutableProperties` itself as storage (no copy).
  explicit ALKActivity(std::shared_ptr<platform::Dictionary> mutableProperties);
  // Decodes an archived activity: the dictionary under "properties", or none
  // when that entry is missing or no dictionary (the latter with an ERROR
  // line). Runs on the unarchiving thread.
  explicit ALKActivity(platform::KeyedUnarchiver& coder);
  ~ALKActivity() override;

  // The dictionary's keys in its order; nullopt without a dictionary.
  std::optional<std::vector<std::string>> propertyNames() const;

  // "<ALKActivity: 0x...> = {type: ...}".
  std::string description() const override;
  // An activity on a copy of the dictionary (values shared; none stays
  // none). A subclass copies as its own class through ALKCopiedAsOwnClass.
  std::shared_ptr<platform::Object> copy() const override;

  std::vector<std::string> archivedClassNames() const override { return {"ALKActivity", "NSObject"}; }
  void encodeWithCoder(platform::KeyedArchiver& archiver) const override;
  // How the unarchiver rebuilds an activity.
  static platform::KeyedUnarchiver::DecodableClass decodableClass();

  // The "timestamp" property: seconds since 1 January 2001 UTC; 0.0 when
  // absent or not a number.
  double timestamp() const;
  void setTimestamp(double timestamp);
  // The clock's time in the same unit, with the sub-second fraction.
  static double currentTimestamp();

 private:
  // The part of every initializer that takes the dictionary and logs.
  void initialize(std::shared_ptr<platform::Dictionary> mutableProperties);
};
