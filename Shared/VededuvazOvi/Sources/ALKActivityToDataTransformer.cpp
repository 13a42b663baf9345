#include "ALKActivityToDataTransformer.h"

#include <glib.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "ALKActivity.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Archiving/KeyedArchiver.h"
#include "Archiving/KeyedCoding.h"
#include "Archiving/KeyedUnarchiver.h"

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// The text with each invalid UTF-8 sequence and each NUL replaced by U+FFFD;
// nullopt when it has neither.
std::optional<std::string> archivableText(const std::string& text) {
  // With a length, GLib refuses NUL as well as invalid sequences.
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return std::nullopt;
  std::string result;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t nul = std::min(text.find('\0', start), text.size());
    gchar* valid = g_utf8_make_valid(text.data() + start, static_cast<gssize>(nul - start));
    result += valid;
    g_free(valid);
    if (nul < text.size()) result += kReplacementCharacter;
    start = nul + 1;
  }
  return result;
}

// What the text treatment made of each collection already looked at, by its
// storage and depth: a collection used many times is treated once, and its
// uses keep sharing one result, so the work and the archive stay at the size
// of the distinct values.
using Treated = std::map<std::pair<const void*, std::size_t>, std::optional<platform::Value>>;

std::optional<platform::Dictionary> archivableDictionary(const platform::Dictionary& dictionary, std::size_t depth,
                                                         Treated& treated);

std::optional<platform::Value> archivableCollection(const platform::Value& value, std::size_t depth, Treated& treated);

// The value with its text made archivable; nullopt when nothing changes. Past
// the depth that an archive can hold, nothing is looked at: the archive fails
// there anyway.
std::optional<platform::Value> archivableValue(const platform::Value& value, std::size_t depth, Treated& treated) {
  if (depth >= platform::kKeyedArchiveMaxDepth) return std::nullopt;
  if (const auto* text = value.string()) {
    if (auto changed = archivableText(*text)) return platform::Value(std::move(*changed));
    return std::nullopt;
  }
  if (!value.array() && !value.dictionary()) return std::nullopt;
  const void* storage = value.sharedStorage();
  const auto key = std::make_pair(storage, depth);
  if (const auto known = treated.find(key); known != treated.end()) return known->second;
  auto result = archivableCollection(value, depth, treated);
  treated.emplace(key, result);
  return result;
}

std::optional<platform::Value> archivableCollection(const platform::Value& value, std::size_t depth, Treated& treated) {
  if (const auto* array = value.array()) {
    std::optional<platform::Array> changed;
    for (std::size_t index = 0; index < array->size(); ++index) {
      if (auto item = archivableValue((*array)[index], depth + 1, treated)) {
        if (!changed) changed = *array;
        (*changed)[index] = std::move(*item);
      }
    }
    if (changed) return platform::Value(std::move(*changed));
  } else if (const auto* dictionary = value.dictionary()) {
    if (auto changed = archivableDictionary(*dictionary, depth + 1, treated)) {
      return platform::Value(std::move(*changed));
    }
  }
  return std::nullopt;
}

// Keys that become equal keep the value of the later one.
std::optional<platform::Dictionary> archivableDictionary(const platform::Dictionary& dictionary, std::size_t depth,
                                                         Treated& treated) {
  std::vector<std::pair<std::optional<std::string>, std::optional<platform::Value>>> changes;
  bool changed = false;
  for (const auto& [key, item] : dictionary) {
    auto& change = changes.emplace_back(archivableText(key), archivableValue(item, depth, treated));
    changed = changed || change.first.has_value() || change.second.has_value();
  }
  if (!changed) return std::nullopt;
  platform::Dictionary result;
  std::size_t index = 0;
  for (const auto& [key, item] : dictionary) {
    auto& [newKey, newItem] = changes[index++];
    result.set(newKey ? std::move(*newKey) : key, newItem ? std::move(*newItem) : item);
  }
  return result;
}

}  // namespace

std::shared_ptr<ALKActivity> ALKActivityToDataTransformer::archivableActivity(
    const std::shared_ptr<ALKActivity>& activity) {
  const auto* properties = activity ? activity->mutableProperties().get() : nullptr;
  if (!properties) return activity;
  Treated treated;
  auto changed = archivableDictionary(*properties, 1, treated);
  if (!changed) return activity;
  auto copy = std::static_pointer_cast<ALKActivity>(activity->copy());
  copy->setMutableProperties(std::make_shared<platform::Dictionary>(std::move(*changed)));
  return copy;
}

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
