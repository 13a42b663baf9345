#include "ALKActivityToDataTransformer.h"

#include "ALKActivity.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Archiving/KeyedArchiver.h"
#include "Archiving/KeyedUnarchiver.h"

platform::Value ALKActivityToDataTransformer::transformedValue(const platform::Value& value) const {
  ALKLogIndent indent;
  platform::Value result;
  if (value.objectAs<ALKActivity>()) {
    if (auto data = platform::KeyedArchiver::archivedData(value)) result = platform::Value(std::move(*data));
  }
  if (!value.isNil() && result.isNil()) ALKLog::error(this, "Unable to transform activity {%@}", value);
  return result;
}

platform::Value ALKActivityToDataTransformer::reverseTransformedValue(const platform::Value& value) const {
  ALKLogIndent indent;
  platform::Value result;
  if (const auto* data = value.data()) {
    const platform::KeyedUnarchiver::DecodableClass classes[] = {ALKActivity::decodableClass()};
    platform::Value root = platform::KeyedUnarchiver::unarchivedObject(*data, classes);
    // Only an activity may go on: anything else would jam the stage it is handed to.
    if (root.objectAs<ALKActivity>()) result = std::move(root);
  }
  if (!value.isNil() && result.isNil()) ALKLog::error(this, "Unable to reverse transform activity {%@}", value);
  return result;
}
