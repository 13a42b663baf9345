#include "Archiving/KeyedArchiver.h"

#include <exception>

#include "Values/Dictionary.h"
#include "Archiving/KeyedUnarchiver.h"
#include "Archiving/PlistDocument.h"
#include "Archiving/PlistShapeCheck.h"

namespace platform {
namespace {

constexpr std::uint64_t kVersion = 100000;

// Sets `key` of a record to a reference.
void setUid(plist_t record, const char* key, std::uint64_t uid) { plist_dict_set_item(record, key, plist_new_uid(uid)); }

}  // namespace

KeyedArchiver::KeyedArchiver() { objects_.emplace_back(plist_new_string("$null")); }

KeyedArchiver::~KeyedArchiver() = default;

std::optional<Data> KeyedArchiver::archivedData(const Value& root, ErrorPtr* error) {
  KeyedArchiver archiver;
  try {
    const std::uint64_t rootUid = archiver.encode(root);
    return archiver.finish(rootUid, error);
  } catch (const std::exception& exception) {
    archiver.fail(std::string("exception while encoding: ") + exception.what());
  } catch (...) {
    archiver.fail("exception while encoding");
  }
  if (error) *error = archiver.error_;
  return std::nullopt;
}

std::string KeyedArchiver::archivedClassName(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Nil: return "nil";
    case Value::Kind::Null: return "NSNull";
    case Value::Kind::Number: return "NSNumber";
    case Value::Kind::String: return "NSString";
    case Value::Kind::Data: return "NSData";
    case Value::Kind::Url: return "NSURL";
    case Value::Kind::Date: return "NSDate";
    case Value::Kind::Array: return "NSArray";
    case Value::Kind::Dictionary: return "NSDictionary";
    case Value::Kind::Object:
      if (auto coding = dynamic_cast<const KeyedCoding*>(value.object().get())) {
        const auto names = coding->archivedClassNames();
        if (!names.empty()) return names.front();
      }
      return value.object()->className();
  }
  return "nil";
}

void KeyedArchiver::encodeObject(const Value& value, std::string_view key) {
  if (error_ || current_.empty()) return;
  if (key.empty() || key.front() == '$' || !PlistDocument::isStorableText(key)) {
    fail("key \"" + std::string(key) + "\" cannot be archived");
    return;
  }
  void* record = current_.back();
  const std::uint64_t uid = encode(value);
  if (!error_) setUid(record, std::string(key).c_str(), uid);
}

std::uint64_t KeyedArchiver::fail(const std::string& reason) {
  if (!error_) {
    error_ = Error::make(Error::kCocoaErrorDomain, kCoderInvalidValueError, Dictionary{{"NSDebugDescription", reason}});
  }
  return 0;
}

std::uint64_t KeyedArchiver::reserve() {
  objects_.emplace_back();
  return objects_.size() - 1;
}

void KeyedArchiver::store(std::uint64_t uid, PlistDocument record) { objects_[uid] = std::move(record); }

std::uint64_t KeyedArchiver::encode(const Value& value) {
  if (error_) return 0;
  // A shared value is written at its first use and referenced at every
  // other: a small tree that refers to one collection many times would
  // otherwise be written out at its full expanded size.
  const void* shared = value.sharedStorage();
  if (!shared) return encodeValue(value);
  if (auto known = encodedValues_.find(shared); known != encodedValues_.end()) return known->second;
  const std::uint64_t uid = encodeValue(value);
  if (!error_) {
    encodedValues_.emplace(shared, uid);
    retained_.push_back(value);
  }
  return uid;
}

std::uint64_t KeyedArchiver::encodeValue(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Nil:
      return 0;
    case Value::Kind::String:
      return encodeString(*value.string());
    case Value::Kind::Number: {
      PlistDocument number(PlistDocument::newNumber(*value.number()));
      if (!number.root()) return fail("unsigned integer above INT64_MAX");
      objects_.push_back(std::move(number));
      return objects_.size() - 1;
    }
    case Value::Kind::Data: {
      const Data& bytes = *value.data();
      objects_.emplace_back(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      return objects_.size() - 1;
    }
    case Value::Kind::Object:
      return encodeInstance(*value.object());
    default:
      break;
  }

  // The value classes with a record of their own.
  if (depth_ >= kKeyedArchiveMaxDepth) return fail("nested too deeply");
  ++depth_;
  const std::uint64_t uid = reserve();
  PlistDocument record(plist_new_dict());
  std::vector<std::string> classNames;
  switch (value.kind()) {
    case Value::Kind::Null:
      classNames = {"NSNull", "NSObject"};
      break;
    case Value::Kind::Url:
      classNames = {"NSURL", "NSObject"};
      setUid(record.root(), "NS.base", 0);
      setUid(record.root(), "NS.relative", encodeString(value.url()->absoluteString()));
      break;
    case Value::Kind::Date:
      classNames = {"NSDate", "NSObject"};
      plist_dict_set_item(record.root(), "NS.time", plist_new_real(value.date()->timeIntervalSinceReferenceDate()));
      break;
    case Value::Kind::Array: {
      classNames = {"NSArray", "NSObject"};
      plist_t items = plist_new_array();
      plist_dict_set_item(record.root(), "NS.objects", items);
      for (const Value& item : *value.array()) {
        if (item.isNil()) fail("nil in an array");
        plist_array_append_item(items, plist_new_uid(encode(item)));
      }
      break;
    }
    case Value::Kind::Dictionary: {
      classNames = {"NSDictionary", "NSObject"};
      plist_t keys = plist_new_array();
      plist_t items = plist_new_array();
      plist_dict_set_item(record.root(), "NS.keys", keys);
      plist_dict_set_item(record.root(), "NS.objects", items);
      for (const auto& [key, item] : *value.dictionary()) {
        plist_array_append_item(keys, plist_new_uid(encodeString(key)));
        plist_array_append_item(items, plist_new_uid(encode(item)));
      }
      break;
    }
    default:
      break;
  }
  setUid(record.root(), "$class", classUid(classNames));
  store(uid, std::move(record));
  --depth_;
  return error_ ? 0 : uid;
}

std::uint64_t KeyedArchiver::encodeString(const std::string& text) {
  if (error_) return 0;
  if (auto known = strings_.find(text); known != strings_.end()) return known->second;
  PlistDocument node(PlistDocument::newString(text));
  if (!node.root()) return fail("string holds NUL or invalid UTF-8");
  objects_.push_back(std::move(node));
  strings_.emplace(text, objects_.size() - 1);
  return objects_.size() - 1;
}

std::uint64_t KeyedArchiver::encodeInstance(const Object& object) {
  // An object inside itself cannot be read back, so it is refused here.
  if (objectsInProgress_.contains(&object)) return fail("object " + object.className() + " contains itself");
  const auto* coding = dynamic_cast<const KeyedCoding*>(&object);
  if (!coding) return fail("objects of class " + object.className() + " cannot be archived");
  const auto classNames = coding->archivedClassNames();
  if (classNames.empty()) return fail("class " + object.className() + " names no archived class");
  if (depth_ >= kKeyedArchiveMaxDepth) return fail("nested too deeply");

  ++depth_;
  const std::uint64_t uid = reserve();
  PlistDocument record(plist_new_dict());
  current_.push_back(record.root());
  objectsInProgress_.insert(&object);
  coding->encodeWithCoder(*this);
  objectsInProgress_.erase(&object);
  current_.pop_back();
  setUid(record.root(), "$class", classUid(classNames));
  store(uid, std::move(record));
  --depth_;
  return error_ ? 0 : uid;
}

std::uint64_t KeyedArchiver::classUid(const std::vector<std::string>& names) {
  if (auto known = classes_.find(names.front()); known != classes_.end()) return known->second;
  PlistDocument record(plist_new_dict());
  plist_t chain = plist_new_array();
  for (const auto& name : names) {
    plist_t node = PlistDocument::newString(name);
    if (!node) {
      plist_free(chain);
      return fail("class name is not valid text");
    }
    plist_array_append_item(chain, node);
  }
  plist_dict_set_item(record.root(), "$classes", chain);
  plist_t className = PlistDocument::newString(names.front());
  if (!className) return fail("class name is not valid text");
  plist_dict_set_item(record.root(), "$classname", className);
  objects_.push_back(std::move(record));
  classes_.emplace(names.front(), objects_.size() - 1);
  return objects_.size() - 1;
}

std::optional<Data> KeyedArchiver::finish(std::uint64_t rootUid, ErrorPtr* error) {
  if (error_) {
    if (error) *error = error_;
    return std::nullopt;
  }
  PlistDocument archive(plist_new_dict());
  plist_dict_set_item(archive.root(), "$version", plist_new_uint(kVersion));
  plist_dict_set_item(archive.root(), "$archiver", plist_new_string("NSKeyedArchiver"));
  plist_t top = plist_new_dict();
  setUid(top, "root", rootUid);
  plist_dict_set_item(archive.root(), "$top", top);
  plist_t objects = plist_new_array();
  for (auto& object : objects_) plist_array_append_item(objects, object.release());
  plist_dict_set_item(archive.root(), "$objects", objects);
  auto bytes = archive.serialize(PropertyListFormat::Binary, error);
  // What the unarchiver would refuse is not written: a store would keep it
  // and never read it back.
  if (bytes && (bytes->size() > KeyedUnarchiver::kMaxBytes ||
                PlistShapeCheck::checkBinary(*bytes, KeyedUnarchiver::kLimits))) {
    fail("the archive is larger than its reader takes");
    if (error) *error = error_;
    return std::nullopt;
  }
  return bytes;
}

}  // namespace platform
