#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Errors/Error.h"
#include "Archiving/KeyedCoding.h"
#include "Archiving/PlistSink.h"
#include "Values/Value.h"

namespace platform {

// Writes the platform's keyed archives: a binary property list with
// "$archiver" "NSKeyedArchiver", "$version" 100000, "$top" {"root": UID} and
// "$objects" starting with "$null", every object referenced by its UID and
// every class recorded once. Values take their standard forms: strings, data
// and numbers as plain property-list objects (booleans, integers and reals
// keep their kind), dictionaries as NSDictionary ("NS.keys", "NS.objects"),
// arrays as NSArray ("NS.objects"), URLs as NSURL ("NS.base",
// "NS.relative"), dates as NSDate ("NS.time"), null as NSNull; reference
// objects through their KeyedCoding. A collection, data, URL or object that
// the root reaches more than once (shared, not merely equal) is written once
// and referenced at every use, so an archive grows with the distinct values
// only. One archiver writes one archive.
class KeyedArchiver {
 public:
  // NSCocoaErrorDomain code for a value that cannot be archived.
  static constexpr std::int64_t kCoderInvalidValueError = 4866;

  // The archive of `root`; nullopt with kCoderInvalidValueError when a value
  // cannot be archived (a reference object without KeyedCoding, an object
  // that contains itself, nesting deeper than kKeyedArchiveMaxDepth as the
  // unarchiver counts it, text that a property list cannot hold) or when the
  // archive would be past what KeyedUnarchiver reads (KeyedUnarchiver::kLimits).
  // An exception thrown by an encodeWithCoder is caught and reported the same
  // way.
  static std::optional<Data> archivedData(const Value& root, ErrorPtr* error = nullptr);

  // The class name a value is archived under ("NSString", "NSNumber",
  // "NSData", "NSURL", "NSDate", "NSArray", "NSDictionary", "NSNull"), the
  // first archived class name of a KeyedCoding object, the class name of
  // another object, "nil" for nil.
  static std::string archivedClassName(const Value& value);

  // For encodeWithCoder: stores `value` under `key` of the object being
  // encoded. Keys beginning with "$" are the archive's own and refused.
  void encodeObject(const Value& value, std::string_view key);

 private:
  KeyedArchiver();
  ~KeyedArchiver();
  KeyedArchiver(const KeyedArchiver&) = delete;
  KeyedArchiver& operator=(const KeyedArchiver&) = delete;

  // One object of the property list that the archive is written as. Every
  // container is referred to once, so the tree that a reader makes of it
  // holds a node for each reference.
  struct Item {
    enum class Kind : std::uint8_t { Text, Number, Data, Uid, Array, Dictionary };
    Kind kind = Kind::Text;
    const std::string* text = nullptr;  // Text: a key of texts_,
    PlistSink::TextForm form;           // and how the binary form holds it
    Value value;                        // Number, Data
    std::uint64_t uid = 0;              // Uid
    std::size_t first = 0;              // Array, Dictionary: where its references start in refs_
    std::size_t count = 0;              // Array: its references; Dictionary: its entries

    static Item scalar(Kind kind, Value value) {
      Item item;
      item.kind = kind;
      item.value = std::move(value);
      return item;
    }
    static Item ofText(const std::string* text) {
      Item item;
      item.text = text;
      item.form = PlistSink::textForm(*text);
      return item;
    }
    static Item ofUid(std::uint64_t uid) {
      Item item;
      item.kind = Kind::Uid;
      item.uid = uid;
      return item;
    }
    static Item container(Kind kind, std::size_t first, std::size_t count) {
      Item item;
      item.kind = kind;
      item.first = first;
      item.count = count;
      return item;
    }
  };
  // A record's entries while its object is encoded: key and value items.
  using Entries = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

  // Counts a value `height` levels tall at the current depth as the
  // unarchiver counts it: a level for each object that it decodes, a record
  // or a string, number or data it refers to (a dictionary's keys too).
  // False, failing the archive, past kKeyedArchiveMaxDepth.
  bool reach(std::size_t height);
  // The UID of `value` in "$objects"; 0 ("$null") for nil and after a failure.
  std::uint64_t encode(const Value& value);
  // The same for a value not written before.
  std::uint64_t encodeValue(const Value& value);
  std::uint64_t encodeString(const std::string& text);
  std::uint64_t encodeInstance(const Object& object);
  std::uint64_t classUid(const std::vector<std::string>& names);
  // Reserves the next UID for an object whose record is stored later.
  std::uint64_t reserve();
  // The record of an object: a dictionary of `entries` and its "$class".
  void storeRecord(std::uint64_t uid, Entries entries, const std::vector<std::string>& classNames);
  std::uint64_t fail(const std::string& reason);
  std::optional<Data> finish(std::uint64_t rootUid, ErrorPtr* error);

  // Items of the property list, one text item for equal texts and one
  // reference item for each UID.
  std::uint64_t add(Item item);
  // The item of a text, and its UID once a string of "$objects" is the text.
  struct Text {
    std::uint64_t item = 0;
    std::uint64_t uid = 0;  // 0: none ("$null" is no string of a value)
  };
  Text& text(std::string_view text);
  std::uint64_t textItem(std::string_view text) { return this->text(text).item; }
  std::uint64_t uidItem(std::uint64_t uid);
  std::uint64_t arrayItem(const std::vector<std::uint64_t>& items);
  std::uint64_t dictionaryItem(const Entries& entries);
  // The bytes of the property list whose top is `top`, or nullopt past what
  // KeyedUnarchiver reads.
  std::optional<Data> bytes(std::uint64_t top) const;
  void write(Data& out, std::uint64_t top, std::size_t refSize) const;
  void putItem(PlistSink& sink, const Item& item, std::size_t refSize) const;

  std::vector<Item> items_;
  std::vector<std::uint64_t> refs_;  // the containers' references, each container's together
  // Looked up by any text, without a string made for it.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_map<std::string, Text, TextHash, std::equal_to<>> texts_;
  std::vector<std::uint64_t> uidItems_;                   // item of each UID referred to, by UID
  std::vector<std::uint64_t> objects_;                    // item of each UID's object: "$objects"
  std::unordered_map<std::string, std::uint64_t> classes_;
  // The UID and height of every shared value written, by the address of its
  // storage; retained_ keeps those values alive, so that no address is
  // reused for another value while this archive is written.
  struct Encoded {
    std::uint64_t uid = 0;
    std::size_t height = 0;
  };
  std::unordered_map<const void*, Encoded> encodedValues_;
  std::vector<Value> retained_;
  std::unordered_set<const Object*> objectsInProgress_;
  std::vector<Entries> current_;  // the entries of each object being encoded
  std::size_t depth_ = 0;    // the records around the value being encoded
  std::size_t deepest_ = 0;  // the deepest level reached, as reach() counts
  ErrorPtr error_;
};

}  // namespace platform
