#include "Archiving/KeyedUnarchiver.h"

#include <exception>

#include "Values/Dictionary.h"
#include "Archiving/PlistDocument.h"

namespace platform {
namespace {

constexpr std::uint64_t kVersion = 100000;

plist_t itemOf(plist_t dictionary, const char* key) {
  return PlistDocument::isDictionary(dictionary) ? plist_dict_get_item(dictionary, key) : nullptr;
}

bool isClass(const std::string& name, std::string_view immutable, std::string_view mutableName) {
  return name == immutable || name == mutableName;
}

// The one error of every unarchiving failure, with the reason for the log.
ErrorPtr corruptArchiveError(const std::string& reason, ErrorPtr underlying = nullptr) {
  return Error::withUnderlying(Error::kCocoaErrorDomain, KeyedUnarchiver::kCoderReadCorruptError,
                               std::move(underlying), Dictionary{{"NSDebugDescription", reason}});
}

}  // namespace

KeyedUnarchiver::KeyedUnarchiver(const PlistDocument& document, std::vector<void*> objects,
                                 std::span<const DecodableClass> classes)
    : document_(document),
      objects_(std::move(objects)),
      states_(objects_.size(), State::New),
      decoded_(objects_.size()),
      classes_(classes) {}

Value KeyedUnarchiver::unarchivedObject(std::span<const std::uint8_t> data, std::span<const DecodableClass> classes,
                                        ErrorPtr* error) {
  auto failWith = [&](ErrorPtr failure) {
    if (error) *error = std::move(failure);
    return Value();
  };
  auto corrupt = [&](const std::string& reason) { return failWith(corruptArchiveError(reason)); };
  try {
    ErrorPtr parseError;
    auto document = PlistDocument::parse(data, kLimits, &parseError);
    if (!document) return failWith(corruptArchiveError("not a property list", parseError));
    plist_t root = document->root();
    const auto archiver = PlistDocument::stringOf(itemOf(root, "$archiver"));
    const auto version = document->numberOf(itemOf(root, "$version"));
    if (!archiver || *archiver != "NSKeyedArchiver" || !version || version->isBool() || version->isDouble() ||
        version->integerValue() != static_cast<std::int64_t>(kVersion)) {
      return corrupt("not a keyed archive");
    }
    plist_t objects = itemOf(root, "$objects");
    const auto rootUid = PlistDocument::uidOf(itemOf(itemOf(root, "$top"), "root"));
    if (!PlistDocument::isArray(objects) || !rootUid) return corrupt("keyed archive without objects or root");
    KeyedUnarchiver unarchiver(*document, PlistDocument::itemsOf(objects), classes);
    const auto null = PlistDocument::stringOf(unarchiver.objects_.empty() ? nullptr : unarchiver.objects_[0]);
    if (!null || *null != "$null") return corrupt("keyed archive without $null");
    Value value = unarchiver.decodeUid(*rootUid);
    if (unarchiver.error_) return failWith(unarchiver.error_);
    return value;
  } catch (const std::exception& exception) {
    return corrupt(std::string("exception while decoding: ") + exception.what());
  } catch (...) {
    return corrupt("exception while decoding");
  }
}

Value KeyedUnarchiver::decodeObject(std::string_view key) {
  if (error_ || current_.empty()) return Value();
  plist_t node = itemOf(current_.back(), std::string(key).c_str());
  if (!node) return Value();
  const auto uid = PlistDocument::uidOf(node);
  if (!uid) return fail("value for key \"" + std::string(key) + "\" is not a reference");
  return decodeUid(*uid);
}

Value KeyedUnarchiver::fail(const std::string& reason) {
  if (!error_) error_ = corruptArchiveError(reason);
  return Value();
}

Value KeyedUnarchiver::decodeUid(std::uint64_t uid) {
  if (error_) return Value();
  if (uid >= objects_.size()) return fail("reference out of range");
  if (uid == 0) return Value();
  switch (states_[uid]) {
    case State::Done:
      return decoded_[uid];
    case State::Open:
      return fail("an object contains itself");
    case State::New:
      break;
  }
  if (depth_ >= kKeyedArchiveMaxDepth) return fail("nested too deeply");
  states_[uid] = State::Open;
  ++depth_;
  Value value = decodeNode(objects_[uid]);
  --depth_;
  states_[uid] = State::Done;
  decoded_[uid] = value;
  return error_ ? Value() : value;
}

Value KeyedUnarchiver::decodeNode(void* node) {
  if (PlistDocument::isDictionary(node)) return decodeInstance(node);
  if (Value scalar = document_.scalarOf(node); !scalar.isNil()) return scalar;
  return fail("string that is not valid text, or an unexpected object");
}

Value KeyedUnarchiver::decodeInlineOrReference(void* node) {
  if (!node) return Value();
  if (const auto uid = PlistDocument::uidOf(node)) return decodeUid(*uid);
  if (Value scalar = document_.scalarOf(node); !scalar.isNil()) return scalar;
  return fail("unexpected value in archive");
}

Value KeyedUnarchiver::decodeInstance(void* record) {
  const auto classUid = PlistDocument::uidOf(itemOf(record, "$class"));
  if (!classUid || *classUid == 0 || *classUid >= objects_.size()) return fail("object without a class");
  const auto className = PlistDocument::stringOf(itemOf(objects_[*classUid], "$classname"));
  if (!className) return fail("class record without a name");

  if (isClass(*className, "NSDictionary", "NSMutableDictionary")) return decodeCollection(record, true);
  if (isClass(*className, "NSArray", "NSMutableArray")) return decodeCollection(record, false);
  if (isClass(*className, "NSString", "NSMutableString")) {
    Value text = decodeInlineOrReference(itemOf(record, "NS.string"));
    return text.string() ? text : fail("NSString without text");
  }
  if (isClass(*className, "NSData", "NSMutableData")) {
    Value bytes = decodeInlineOrReference(itemOf(record, "NS.data"));
    return bytes.data() ? bytes : fail("NSData without bytes");
  }
  if (*className == "NSDate") {
    const auto time = document_.numberOf(itemOf(record, "NS.time"));
    if (!time || time->isBool()) return fail("NSDate without time");
    return Value(Date(time->doubleValue()));
  }
  if (*className == "NSURL") return decodeUrl(record);
  if (*className == "NSNull") return Value::null();

  for (const auto& decodable : classes_) {
    if (decodable.className != *className) continue;
    current_.push_back(record);
    ObjectPtr object = decodable.decode ? decodable.decode(*this) : nullptr;
    current_.pop_back();
    return Value(std::move(object));
  }
  return fail("class " + *className + " is not allowed");
}

Value KeyedUnarchiver::decodeCollection(void* record, bool withKeys) {
  plist_t objectsNode = itemOf(record, "NS.objects");
  plist_t keysNode = withKeys ? itemOf(record, "NS.keys") : nullptr;
  if (!PlistDocument::isArray(objectsNode) || (withKeys && !PlistDocument::isArray(keysNode))) {
    return fail("collection without its items");
  }
  const auto items = PlistDocument::itemsOf(objectsNode);
  const auto keys = PlistDocument::itemsOf(keysNode);
  if (withKeys && keys.size() != items.size()) return fail("dictionary with unequal keys and objects");

  Dictionary dictionary;
  Array array;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto uid = PlistDocument::uidOf(items[i]);
    if (!uid) return fail("collection item is not a reference");
    Value item = decodeUid(*uid);
    if (error_) return Value();
    if (item.isNil()) return fail("nil in a collection");
    if (!withKeys) {
      array.push_back(std::move(item));
      continue;
    }
    const auto keyUid = PlistDocument::uidOf(keys[i]);
    Value key = keyUid ? decodeUid(*keyUid) : Value();
    if (!key.string()) return fail("dictionary key is not a string");
    dictionary.set(*key.string(), std::move(item));
  }
  return withKeys ? Value(std::move(dictionary)) : Value(std::move(array));
}

Value KeyedUnarchiver::decodeUrl(void* record) {
  const auto baseUid = PlistDocument::uidOf(itemOf(record, "NS.base"));
  const auto relativeUid = PlistDocument::uidOf(itemOf(record, "NS.relative"));
  if (!relativeUid) return fail("NSURL without relative part");
  const Value base = baseUid ? decodeUid(*baseUid) : Value();
  const Value relative = decodeUid(*relativeUid);
  if (error_) return Value();
  // The relative part is a string, or a URL in archives of some writers.
  std::string text = relative.url() ? relative.url()->absoluteString() : relative.stringValue();
  if (!relative.string() && !relative.url()) return fail("NSURL relative part is not a string");
  std::optional<Url> url;
  if (base.url()) {
    url = base.url()->resolve(text);
  } else if (base.isNil()) {
    url = Url::fromString(text);
  }
  if (!url) return fail("NSURL that is not an absolute URL");
  return Value(std::move(*url));
}

}  // namespace platform
