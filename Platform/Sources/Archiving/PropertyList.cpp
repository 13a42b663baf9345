#include "Archiving/PropertyList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <variant>

#include "Values/Dictionary.h"
#include "Archiving/PlistDocument.h"
#include "Archiving/PlistObjectTable.h"
#include "Archiving/PlistXmlReader.h"
#include "Archiving/PropertyListGraph.h"

namespace platform {
namespace {

constexpr const char* kDebugDescriptionKey = "NSDebugDescription";

// Converts a tree parsed from the binary form into values. The shape check
// bounded the depth already; the depth here guards against a tree built some
// other way.
//
// The tree is walked beside the file's objects, so that a date comes from the
// file's own bytes: libplist gives a date as seconds truncated toward zero and
// microseconds without their sign, which cannot tell -0.5 from 0.5.
class Reader {
 public:
  Reader(const PlistDocument& document, std::size_t maxDepth, const PlistObjectTable* objects)
      : document_(document), maxDepth_(maxDepth), objects_(objects) {}

  // `object` is the node's index among the binary form's objects.
  Value read(plist_t node, std::uint64_t object = 0, std::size_t depth = 0) {
    if (depth > maxDepth_) return fail("nested too deeply");
    switch (plist_get_node_type(node)) {
      case PLIST_DICT: {
        const std::uint64_t count = plist_dict_get_size(node);
        const auto refs = refsOf(object, count, 2);
        if (!refs) return fail("dictionary unlike its object");
        std::vector<Dictionary::Entry> entries;
        entries.reserve(count);
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (std::uint64_t i = 0;; ++i) {
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
          // A dictionary's references are its keys, then its values.
          Value value = read(item, refAt(*refs, count + i), depth + 1);
          if (value.isNil()) {
            std::free(iter);
            return Value();
          }
          entries.emplace_back(std::move(name), std::move(value));
        }
        std::free(iter);
        return Value(Dictionary(std::move(entries)));
      }
      case PLIST_ARRAY: {
        const auto items = PlistDocument::itemsOf(node);
        const auto refs = refsOf(object, items.size(), 1);
        if (!refs) return fail("array unlike its object");
        Array array;
        for (std::size_t i = 0; i < items.size(); ++i) {
          Value value = read(items[i], refAt(*refs, i), depth + 1);
          if (value.isNil()) return Value();
          array.push_back(std::move(value));
        }
        return Value(std::move(array));
      }
      case PLIST_DATE: {
        const auto seconds = objects_ ? objects_->dateOf(object) : std::nullopt;
        if (!seconds) return fail("date unlike its object");
        return Value(Date(*seconds));
      }
      case PLIST_UID:
        return Value(Dictionary{{PlistDocument::kUidKey, Value(*PlistDocument::uidOf(node))}});
      default:
        if (Value scalar = document_.scalarOf(node); !scalar.isNil()) return scalar;
        return fail("string that is not valid text, or an unexpected node");
    }
  }

  ErrorPtr error() const { return error_; }

 private:
  // Where the references of container `object` start, when it is a container
  // of `count` items (of `per` references each) as libplist read it. Without
  // objects, 0.
  std::optional<std::size_t> refsOf(std::uint64_t object, std::uint64_t count, std::uint64_t per) const {
    if (!objects_) return 0;
    return objects_->refsOf(object, count, per == 2);
  }

  std::uint64_t refAt(std::size_t refs, std::uint64_t i) const { return objects_ ? objects_->refAt(refs, i) : 0; }

  Value fail(const std::string& reason) {
    if (!error_) error_ = PropertyList::corruptError(reason);
    return Value();
  }

  const PlistDocument& document_;
  std::size_t maxDepth_;
  const PlistObjectTable* objects_;
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
  if (!PlistDocument::isBinary(bytes)) {
    Value value = PlistXmlReader::read(bytes, limits, error);
    if (format && !value.isNil()) *format = PropertyListFormat::Xml;
    return value;
  }
  auto document = PlistDocument::parse(bytes, limits, error);
  if (!document) return Value();
  if (format) *format = PropertyListFormat::Binary;
  // The shape check took the binary form's trailer already.
  const auto table = PlistObjectTable::make(bytes);
  const auto* objects = std::get_if<PlistObjectTable>(&table);
  if (!objects) {
    if (error) *error = corruptError("damaged binary property list");
    return Value();
  }
  Reader reader(*document, limits.maxDepth, objects);
  Value value = reader.read(document->root(), objects->top());
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
  return graph->bytes();
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
