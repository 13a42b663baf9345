#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Archiving/PropertyList.h"
#include "Errors/Error.h"
#include "Archiving/KeyedCoding.h"
#include "Values/Value.h"

namespace platform {

class PlistDocument;

// Reads the platform's keyed archives (binary or XML property lists, the
// layout KeyedArchiver writes). The bytes are untrusted: only the value
// classes and the classes the caller allows are decoded, every reference is
// checked, an object that contains itself and nesting deeper than
// kKeyedArchiveMaxDepth are refused, and every failure is nil with an error,
// never a crash or an exception. Each archived object is decoded once and
// every reference to it shares that one value, so the work and the memory of
// a decode grow with the archive (at most kMaxBytes), however often its
// objects are referred to. One unarchiver reads one archive.
class KeyedUnarchiver {
 public:
  // How a class of ours is rebuilt: called with the unarchiver positioned on
  // the archived object, it reads its keys with decodeObject and answers the
  // object (nullptr decodes as nil). Runs on the unarchiving thread.
  struct DecodableClass {
    std::string className;
    std::function<ObjectPtr(KeyedUnarchiver& unarchiver)> decode;
  };

  // NSCocoaErrorDomain code of every unarchiving failure.
  static constexpr std::int64_t kCoderReadCorruptError = 4864;
  // The largest archive read.
  static constexpr std::size_t kMaxBytes = 16u << 20;
  // What an archive's property list may hold to be read (the archiver
  // writes no more).
  static constexpr PropertyListLimits kLimits{.maxBytes = kMaxBytes};

  // The root object of the archive. Besides `classes`, it decodes
  // NSDictionary and NSMutableDictionary (string keys), NSArray and
  // NSMutableArray, NSString and NSMutableString, NSData and NSMutableData,
  // NSURL, NSDate, NSNull and the plain property-list objects (strings,
  // numbers, data). Any other class fails the whole archive.
  static Value unarchivedObject(std::span<const std::uint8_t> data, std::span<const DecodableClass> classes,
                                ErrorPtr* error = nullptr);

  // For decode functions: the value stored under `key` of the object being
  // decoded; nil when there is none, and after any failure.
  Value decodeObject(std::string_view key);

 private:
  KeyedUnarchiver(const PlistDocument& document, std::vector<void*> objects, std::span<const DecodableClass> classes);

  Value decodeUid(std::uint64_t uid);
  Value decodeNode(void* node);
  Value decodeInstance(void* record);
  // A value stored either in place or by reference (NS.string, NS.data...).
  Value decodeInlineOrReference(void* node);
  Value decodeCollection(void* record, bool withKeys);
  Value decodeUrl(void* record);
  Value fail(const std::string& reason);

  enum class State : std::uint8_t { New, Open, Done };

  const PlistDocument& document_;
  std::vector<void*> objects_;  // the "$objects" items, owned by document_
  std::vector<State> states_;
  std::vector<Value> decoded_;  // each object once decoded, shared by every reference
  std::span<const DecodableClass> classes_;
  std::vector<void*> current_;  // the record of each custom object being decoded
  std::size_t depth_ = 0;
  ErrorPtr error_;
};

}  // namespace platform
