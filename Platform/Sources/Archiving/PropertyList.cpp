#include "Archiving/PropertyList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Values/Dictionary.h"
#include "Archiving/PlistDocument.h"
#include "Archiving/PropertyListGraph.h"

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
  const auto graph = PropertyListGraph::make(value, format, error);
  if (!graph) return std::nullopt;
  if (format == PropertyListFormat::Binary) return graph->binary();
  return graph->tree().serialize(format, error);
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
