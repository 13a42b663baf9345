#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Errors/Error.h"
#include "Archiving/KeyedCoding.h"
#include "Values/Value.h"

namespace platform {

class PlistDocument;

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
  // that contains itself, nesting deeper than kKeyedArchiveMaxDepth, text or
  // numbers that a property list cannot hold) or when the archive would be
  // past what KeyedUnarchiver reads (KeyedUnarchiver::kLimits). An exception
  // thrown by an encodeWithCoder is caught and reported the same way.
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

  // The UID of `value` in "$objects"; 0 ("$null") for nil and after a failure.
  std::uint64_t encode(const Value& value);
  // The same for a value not written before.
  std::uint64_t encodeValue(const Value& value);
  std::uint64_t encodeString(const std::string& text);
  std::uint64_t encodeInstance(const Object& object);
  std::uint64_t classUid(const std::vector<std::string>& names);
  // Reserves the next UID for an object whose record is stored later.
  std::uint64_t reserve();
  void store(std::uint64_t uid, PlistDocument record);
  std::uint64_t fail(const std::string& reason);
  std::optional<Data> finish(std::uint64_t rootUid, ErrorPtr* error);

  std::vector<PlistDocument> objects_;
  std::unordered_map<std::string, std::uint64_t> strings_;
  std::unordered_map<std::string, std::uint64_t> classes_;
  // The UID of every shared value written, by the address of its storage;
  // retained_ keeps those values alive, so that no address is reused for
  // another value while this archive is written.
  std::unordered_map<const void*, std::uint64_t> encodedValues_;
  std::vector<Value> retained_;
  std::unordered_set<const Object*> objectsInProgress_;
  std::vector<void*> current_;  // the record (plist dictionary) of each object being encoded
  std::size_t depth_ = 0;
  ErrorPtr error_;
};

}  // namespace platform
