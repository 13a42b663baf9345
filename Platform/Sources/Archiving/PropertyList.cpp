#include "Archiving/PropertyList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "Values/Dictionary.h"
#include "Archiving/PlistDocument.h"

namespace platform {
namespace {

constexpr const char* kDebugDescriptionKey = "NSDebugDescription";

// Converts a parsed tree into values. The shape check bounded the depth
// already; the depth here guards against a tree built some other way.
class Reader {
 public:
  explicit Reader(std::size_t maxDepth) : maxDepth_(maxDepth) {}

  Value read(plist_t node, std::size_t depth = 0) {
    if (depth > maxDepth_) return fail("nested too deeply");
    switch (plist_get_node_type(node)) {
      case PLIST_DICT: {
        Dictionary dictionary;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
          char* key = nullptr;
          plist_t item = nullptr;
          plist_dict_next_item(node, iter, &key, &item);
          if (!item) {
            std::free(key);
            break;
          }
          const bool keyOk = key && PlistDocument::isStorableText(key);
          std::string name = keyOk ? key : "";
          std::free(key);
          if (!keyOk) {
            std::free(iter);
            return fail("dictionary key is not valid text");
          }
          Value value = read(item, depth + 1);
          if (value.isNil()) {
            std::free(iter);
            return Value();
          }
          dictionary.set(std::move(name), std::move(value));
        }
        std::free(iter);
        return Value(std::move(dictionary));
      }
      case PLIST_ARRAY: {
        Array array;
        for (plist_t item : PlistDocument::itemsOf(node)) {
          Value value = read(item, depth + 1);
          if (value.isNil()) return Value();
          array.push_back(std::move(value));
        }
        return Value(std::move(array));
      }
      case PLIST_DATE: {
        std::int32_t seconds = 0, microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return Value(Date(seconds + microseconds / 1e6));
      }
      case PLIST_UID:
        return Value(Dictionary{{PlistDocument::kUidKey, Value(*PlistDocument::uidOf(node))}});
      default:
        if (Value scalar = PlistDocument::scalarOf(node); !scalar.isNil()) return scalar;
        return fail("string that is not valid text, or an unexpected node");
    }
  }

  ErrorPtr error() const { return error_; }

 private:
  Value fail(const std::string& reason) {
    if (!error_) error_ = PropertyList::corruptError(reason);
    return Value();
  }

  std::size_t maxDepth_;
  ErrorPtr error_;
};

// Counts the nodes of the tree that a value becomes in a property list,
// dictionary keys included as readers count them. A collection shared at many
// places is written out at each, so the tree can be far larger than the value
// (a decoded archive shares whatever it refers to many times); each shared
// storage is measured once, and a count past `cap` stops at cap + 1.
class NodeCount {
 public:
  explicit NodeCount(std::uint64_t cap) : cap_(cap) {}

  // nullopt for nesting deeper than a property list may hold.
  std::optional<std::uint64_t> of(const Value& value, std::size_t depth = 0) {
    if (depth > PropertyListLimits{}.maxDepth) return std::nullopt;
    const auto* array = value.array();
    const auto* dictionary = value.dictionary();
    if (!array && !dictionary) return 1;
    if (auto known = measured_.find(value.sharedStorage()); known != measured_.end()) return known->second;
    std::uint64_t nodes = 1;
    const auto add = [&](const Value& item, std::uint64_t extra) {
      const auto count = of(item, depth + 1);
      if (count) nodes = std::min(nodes + *count + extra, cap_ + 1);
      return count.has_value();
    };
    if (array) {
      for (const Value& item : *array) {
        if (!add(item, 0)) return std::nullopt;
      }
    } else {
      for (const auto& entry : *dictionary) {
        if (!add(entry.second, 1)) return std::nullopt;
      }
    }
    measured_.emplace(value.sharedStorage(), nodes);
    return nodes;
  }

 private:
  std::uint64_t cap_;
  std::unordered_map<const void*, std::uint64_t> measured_;
};

// Builds a tree from values; nullptr with a reason for a value that a
// property list cannot hold.
class Writer {
 public:
  plist_t write(const Value& value, std::size_t depth = 0) {
    if (depth > PropertyListLimits{}.maxDepth) return fail("nested too deeply");
    switch (value.kind()) {
      case Value::Kind::Dictionary: {
        plist_t dictionary = plist_new_dict();
        for (const auto& [key, item] : *value.dictionary()) {
          plist_t node = PlistDocument::isStorableText(key) ? write(item, depth + 1) : fail("key is not valid text");
          if (!node) {
            plist_free(dictionary);
            return nullptr;
          }
          plist_dict_set_item(dictionary, key.c_str(), node);
        }
        return dictionary;
      }
      case Value::Kind::Array: {
        plist_t array = plist_new_array();
        for (const Value& item : *value.array()) {
          plist_t node = write(item, depth + 1);
          if (!node) {
            plist_free(array);
            return nullptr;
          }
          plist_array_append_item(array, node);
        }
        return array;
      }
      case Value::Kind::String:
        if (plist_t node = PlistDocument::newString(*value.string())) return node;
        return fail("string holds NUL or invalid UTF-8");
      case Value::Kind::Number:
        if (plist_t node = PlistDocument::newNumber(*value.number())) return node;
        return fail("unsigned integer above INT64_MAX");
      case Value::Kind::Data: {
        const Data& bytes = *value.data();
        return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      }
      case Value::Kind::Date: {
        const double seconds = value.date()->timeIntervalSinceReferenceDate();
        const double whole = std::floor(seconds);
        if (!std::isfinite(seconds) || whole < std::numeric_limits<std::int32_t>::min() ||
            whole > std::numeric_limits<std::int32_t>::max()) {
          return fail("date out of range");
        }
        const auto micro = static_cast<std::int32_t>(std::lround((seconds - whole) * 1e6));
        return plist_new_date(static_cast<std::int32_t>(whole), std::min(micro, 999999));
      }
      default:
        return fail("no property-list form for " + value.description());
    }
  }

  ErrorPtr error() const { return error_; }

 private:
  plist_t fail(const std::string& reason) {
    if (!error_) error_ = PropertyList::invalidValueError(reason);
    return nullptr;
  }

  ErrorPtr error_;
};

ErrorPtr fileError(std::int64_t code, const std::string& path, int posixError) {
  Dictionary userInfo{{Error::kFilePathKey, path}};
  return Error::withUnderlying(Error::kCocoaErrorDomain, code, Error::make(Error::kPOSIXErrorDomain, posixError),
                               std::move(userInfo));
}

}  // namespace

ErrorPtr PropertyList::corruptError(const std::string& reason) {
  return Error::make(Error::kCocoaErrorDomain, kReadCorruptError, Dictionary{{kDebugDescriptionKey, reason}});
}

ErrorPtr PropertyList::invalidValueError(const std::string& reason) {
  return Error::make(Error::kCocoaErrorDomain, kWriteInvalidError, Dictionary{{kDebugDescriptionKey, reason}});
}

Value PropertyList::read(std::span<const std::uint8_t> bytes, ErrorPtr* error, PropertyListFormat* format,
                         const PropertyListLimits& limits) {
  auto document = PlistDocument::parse(bytes, limits, error, format);
  if (!document) return Value();
  Reader reader(limits.maxDepth);
  Value value = reader.read(document->root());
  if (value.isNil() && error) *error = reader.error();
  return value;
}

Value PropertyList::readFile(const std::string& path, ErrorPtr* error, const PropertyListLimits& limits) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    if (error) *error = fileError(code == ENOENT ? kFileReadNoSuchFileError : kFileReadUnknownError, path, code);
    return Value();
  }
  struct stat info {};
  Data bytes;
  bool readable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  int code = readable ? 0 : EINVAL;
  if (readable && static_cast<std::uint64_t>(info.st_size) > limits.maxBytes) {
    ::close(fd);
    if (error) *error = corruptError("property list too large");
    return Value();
  }
  if (readable) {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        code = got < 0 ? errno : 0;
        break;
      }
      done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    readable = code == 0;
  }
  ::close(fd);
  if (!readable) {
    if (error) *error = fileError(kFileReadUnknownError, path, code);
    return Value();
  }
  return read(bytes, error, nullptr, limits);
}

std::optional<Data> PropertyList::write(const Value& value, PropertyListFormat format, ErrorPtr* error) {
  // What a reader would refuse is not written: the XML form holds one element
  // more than the tree, the plist root.
  const std::uint64_t maxNodes = PropertyListLimits{}.maxNodes - (format == PropertyListFormat::Xml ? 1 : 0);
  const auto nodes = NodeCount(maxNodes).of(value);
  if (!nodes || *nodes > maxNodes) {
    if (error) *error = invalidValueError(nodes ? "more nodes than a reader takes" : "nested too deeply");
    return std::nullopt;
  }
  Writer writer;
  PlistDocument document(writer.write(value));
  if (!document.root()) {
    if (error) *error = writer.error();
    return std::nullopt;
  }
  return document.serialize(format, error);
}

bool PropertyList::writeFile(const Value& value, const std::string& path, PropertyListFormat format,
                             ErrorPtr* error) {
  const auto bytes = write(value, format, error);
  if (!bytes) return false;
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    if (error) *error = fileError(kFileWriteUnknownError, path, errno);
    return false;
  }
  std::size_t done = 0;
  int code = 0;
  while (done < bytes->size()) {
    const ssize_t put = ::write(fd, bytes->data() + done, bytes->size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      code = errno;
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  if (::close(fd) != 0 && code == 0) code = errno;
  if (code == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) code = errno;
  if (code != 0) {
    ::unlink(temporary.c_str());
    if (error) *error = fileError(kFileWriteUnknownError, path, code);
    return false;
  }
  return true;
}

}  // namespace platform
