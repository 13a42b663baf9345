#include "Archiving/KeyedArchiver.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "Values/Dictionary.h"
#include "Archiving/KeyedUnarchiver.h"
#include "Archiving/PlistDocument.h"
#include "Archiving/PlistObjectTable.h"
#include "Archiving/PlistSink.h"

namespace platform {
namespace {

constexpr std::uint64_t kVersion = 100000;
constexpr std::uint64_t kNoItem = std::numeric_limits<std::uint64_t>::max();

}  // namespace

KeyedArchiver::KeyedArchiver() {
  // Room for a small archive, the common one, without growing.
  items_.reserve(64);
  refs_.reserve(128);
  texts_.reserve(32);
  objects_.push_back(textItem("$null"));
}

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
  // Encoding the value may start records of its own: its entry goes to the
  // record of this object once that is done.
  const std::uint64_t uid = encode(value);
  if (!error_) current_.back().emplace_back(textItem(key), uidItem(uid));
}

std::uint64_t KeyedArchiver::fail(const std::string& reason) {
  if (!error_) {
    error_ = Error::make(Error::kCocoaErrorDomain, kCoderInvalidValueError, Dictionary{{"NSDebugDescription", reason}});
  }
  return 0;
}

std::uint64_t KeyedArchiver::reserve() {
  objects_.push_back(kNoItem);
  return objects_.size() - 1;
}

void KeyedArchiver::storeRecord(std::uint64_t uid, Entries entries, const std::vector<std::string>& classNames) {
  const std::uint64_t classIndex = classUid(classNames);
  if (error_) return;
  entries.emplace_back(textItem("$class"), uidItem(classIndex));
  objects_[uid] = dictionaryItem(entries);
}

bool KeyedArchiver::reach(std::size_t height) {
  if (depth_ + height > kKeyedArchiveMaxDepth) {
    fail("nested too deeply");
    return false;
  }
  deepest_ = std::max(deepest_, depth_ + height);
  return true;
}

std::uint64_t KeyedArchiver::encode(const Value& value) {
  if (error_) return 0;
  // A shared value is written at its first use and referenced at every
  // other: a small tree that refers to one collection many times would
  // otherwise be written out at its full expanded size. Its levels count
  // at every use, since the unarchiver may meet it first at any of them.
  const void* shared = value.sharedStorage();
  if (!shared) return encodeValue(value);
  if (auto known = encodedValues_.find(shared); known != encodedValues_.end()) {
    return reach(known->second.height) ? known->second.uid : 0;
  }
  const std::size_t outer = deepest_;
  deepest_ = depth_;
  const std::uint64_t uid = encodeValue(value);
  const std::size_t height = deepest_ - depth_;
  deepest_ = std::max(outer, deepest_);
  if (!error_) {
    encodedValues_.emplace(shared, Encoded{uid, height});
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
    case Value::Kind::Number:
      if (!reach(1)) return 0;
      objects_.push_back(add(Item::scalar(Item::Kind::Number, value)));
      return objects_.size() - 1;
    case Value::Kind::Data:
      if (!reach(1)) return 0;
      objects_.push_back(add(Item::scalar(Item::Kind::Data, value)));
      return objects_.size() - 1;
    case Value::Kind::Object:
      return encodeInstance(*value.object());
    default:
      break;
  }

  // The value classes with a record of their own.
  if (!reach(1)) return 0;
  ++depth_;
  const std::uint64_t uid = reserve();
  Entries entries;
  std::vector<std::string> classNames;
  switch (value.kind()) {
    case Value::Kind::Null:
      classNames = {"NSNull", "NSObject"};
      break;
    case Value::Kind::Url:
      classNames = {"NSURL", "NSObject"};
      entries.emplace_back(textItem("NS.base"), uidItem(0));
      entries.emplace_back(textItem("NS.relative"), uidItem(encodeString(value.url()->absoluteString())));
      break;
    case Value::Kind::Date:
      classNames = {"NSDate", "NSObject"};
      entries.emplace_back(textItem("NS.time"),
                           add(Item::scalar(Item::Kind::Number, Value(value.date()->timeIntervalSinceReferenceDate()))));
      break;
    case Value::Kind::Array: {
      classNames = {"NSArray", "NSObject"};
      std::vector<std::uint64_t> items;
      items.reserve(value.array()->size());
      for (const Value& item : *value.array()) {
        if (item.isNil()) fail("nil in an array");
        items.push_back(uidItem(encode(item)));
      }
      entries.emplace_back(textItem("NS.objects"), arrayItem(items));
      break;
    }
    case Value::Kind::Dictionary: {
      classNames = {"NSDictionary", "NSObject"};
      std::vector<std::uint64_t> keys;
      std::vector<std::uint64_t> items;
      keys.reserve(value.dictionary()->count());
      items.reserve(value.dictionary()->count());
      for (const auto& [key, item] : *value.dictionary()) {
        keys.push_back(uidItem(encodeString(key)));
        items.push_back(uidItem(encode(item)));
      }
      entries.emplace_back(textItem("NS.keys"), arrayItem(keys));
      entries.emplace_back(textItem("NS.objects"), arrayItem(items));
      break;
    }
    default:
      break;
  }
  storeRecord(uid, std::move(entries), classNames);
  --depth_;
  return error_ ? 0 : uid;
}

std::uint64_t KeyedArchiver::encodeString(const std::string& text) {
  if (error_ || !reach(1)) return 0;
  if (!texts_.contains(text) && !PlistDocument::isStorableText(text)) return fail("string holds NUL or invalid UTF-8");
  Text& entry = this->text(text);
  if (entry.uid == 0) {
    entry.uid = objects_.size();
    objects_.push_back(entry.item);
  }
  return entry.uid;
}

std::uint64_t KeyedArchiver::encodeInstance(const Object& object) {
  // An object inside itself cannot be read back, so it is refused here.
  if (objectsInProgress_.contains(&object)) return fail("object " + object.className() + " contains itself");
  const auto* coding = dynamic_cast<const KeyedCoding*>(&object);
  if (!coding) return fail("objects of class " + object.className() + " cannot be archived");
  const auto classNames = coding->archivedClassNames();
  if (classNames.empty()) return fail("class " + object.className() + " names no archived class");
  if (!reach(1)) return 0;

  ++depth_;
  const std::uint64_t uid = reserve();
  current_.emplace_back();
  objectsInProgress_.insert(&object);
  coding->encodeWithCoder(*this);
  objectsInProgress_.erase(&object);
  Entries entries = std::move(current_.back());
  current_.pop_back();
  storeRecord(uid, std::move(entries), classNames);
  --depth_;
  return error_ ? 0 : uid;
}

std::uint64_t KeyedArchiver::classUid(const std::vector<std::string>& names) {
  if (auto known = classes_.find(names.front()); known != classes_.end()) return known->second;
  std::vector<std::uint64_t> chain;
  for (const auto& name : names) {
    if (!PlistDocument::isStorableText(name)) return fail("class name is not valid text");
    chain.push_back(textItem(name));
  }
  const Entries entries = {{textItem("$classes"), arrayItem(chain)}, {textItem("$classname"), chain.front()}};
  objects_.push_back(dictionaryItem(entries));
  classes_.emplace(names.front(), objects_.size() - 1);
  return objects_.size() - 1;
}

std::uint64_t KeyedArchiver::add(Item item) {
  items_.push_back(std::move(item));
  return items_.size() - 1;
}

KeyedArchiver::Text& KeyedArchiver::text(std::string_view text) {
  auto found = texts_.find(text);
  if (found == texts_.end()) {
    found = texts_.emplace(std::string(text), Text{.item = items_.size()}).first;
    add(Item::ofText(&found->first));
  }
  return found->second;
}

std::uint64_t KeyedArchiver::uidItem(std::uint64_t uid) {
  if (uid >= uidItems_.size()) uidItems_.resize(uid + 1, kNoItem);
  if (uidItems_[uid] == kNoItem) uidItems_[uid] = add(Item::ofUid(uid));
  return uidItems_[uid];
}

std::uint64_t KeyedArchiver::arrayItem(const std::vector<std::uint64_t>& items) {
  const std::size_t first = refs_.size();
  refs_.insert(refs_.end(), items.begin(), items.end());
  return add(Item::container(Item::Kind::Array, first, items.size()));
}

std::uint64_t KeyedArchiver::dictionaryItem(const Entries& entries) {
  const std::size_t first = refs_.size();
  for (const auto& entry : entries) refs_.push_back(entry.first);
  for (const auto& entry : entries) refs_.push_back(entry.second);
  return add(Item::container(Item::Kind::Dictionary, first, entries.size()));
}

std::optional<Data> KeyedArchiver::finish(std::uint64_t rootUid, ErrorPtr* error) {
  if (!error_) {
    const Entries top = {{textItem("root"), uidItem(rootUid)}};
    const Entries archive = {
        {textItem("$version"), add(Item::scalar(Item::Kind::Number, Value(kVersion)))},
        {textItem("$archiver"), textItem("NSKeyedArchiver")},
        {textItem("$top"), dictionaryItem(top)},
        {textItem("$objects"), arrayItem(objects_)},
    };
    // What the unarchiver would refuse is not written: a store would keep it
    // and never read it back.
    if (auto written = bytes(dictionaryItem(archive))) return written;
    fail("the archive is larger than its reader takes");
  }
  if (error) *error = error_;
  return std::nullopt;
}

void KeyedArchiver::putItem(PlistSink& sink, const Item& item, std::size_t refSize) const {
  switch (item.kind) {
    case Item::Kind::Text: return sink.putText(*item.text, item.form);
    case Item::Kind::Number: return sink.putNumber(*item.value.number());
    case Item::Kind::Data: return sink.putData(*item.value.data());
    case Item::Kind::Uid: return sink.putUid(item.uid);
    case Item::Kind::Array:
    case Item::Kind::Dictionary: {
      const bool dictionary = item.kind == Item::Kind::Dictionary;
      sink.putMarker(dictionary ? PlistObjectTable::kDictionary : PlistObjectTable::kArray, item.count);
      const std::size_t end = item.first + (dictionary ? 2 : 1) * item.count;
      for (std::size_t i = item.first; i < end; ++i) sink.putBigEndian(refs_[i], refSize);
      return;
    }
  }
}

std::optional<Data> KeyedArchiver::bytes(std::uint64_t top) const {
  // Counted as the reader counts: a node for the top and one for each
  // reference, the string and data bytes at each reference, and the size.
  const PropertyListLimits& limits = KeyedUnarchiver::kLimits;
  if (refs_.size() + 1 > limits.maxNodes) return std::nullopt;
  std::uint64_t payload = 0;
  for (const std::uint64_t ref : refs_) {
    const Item& item = items_[ref];
    if (item.kind == Item::Kind::Text) payload += item.form.payload(*item.text);
    if (item.kind == Item::Kind::Data) payload += item.value.data()->size();
    if (payload > limits.maxPayloadBytes) return std::nullopt;
  }
  Data out;
  write(out, top, PlistSink::widthOf(items_.size() - 1));
  if (out.size() > limits.maxBytes) return std::nullopt;
  return out;
}

void KeyedArchiver::write(Data& out, std::uint64_t top, std::size_t refSize) const {
  PlistSink sink(&out);
  sink.put("bplist00");
  std::vector<std::uint64_t> offsets;
  offsets.reserve(items_.size());
  for (const Item& item : items_) {
    offsets.push_back(sink.size());
    putItem(sink, item, refSize);
  }
  sink.putTableAndTrailer(offsets, items_.size(), refSize, top);
}

}  // namespace platform
