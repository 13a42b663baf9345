#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "Errors/Error.h"
#include "Values/Value.h"

namespace platform {

enum class PropertyListFormat : std::uint8_t { Xml, Binary };

// Bounds on what a reader accepts: the input's size, and the nesting depth,
// node count and string and data bytes of the tree it describes (a binary
// property list may reference one object many times, so the tree can be far
// larger than the input).
struct PropertyListLimits {
  std::size_t maxBytes = 64u << 20;
  std::size_t maxDepth = 512;
  std::size_t maxNodes = 1u << 20;
  std::size_t maxPayloadBytes = 256u << 20;
};

// Property lists (XML or binary) as platform values: dictionaries, arrays,
// strings, numbers (booleans, integers and reals keep their kind), data and
// dates. Reading takes untrusted bytes: failures are errors, never crashes.
class PropertyList {
 public:
  // NSCocoaErrorDomain codes, as the platform reports them.
  static constexpr std::int64_t kFileReadNoSuchFileError = 260;
  static constexpr std::int64_t kFileReadUnknownError = 256;
  static constexpr std::int64_t kFileWriteUnknownError = 512;
  static constexpr std::int64_t kReadCorruptError = 3840;
  static constexpr std::int64_t kWriteInvalidError = 3852;

  // The value of a property list in XML or binary form; nil with an error
  // when the bytes are no property list or exceed the limits. Integers read
  // as signed numbers (an 8-byte integer of the binary form is signed), except
  // one above INT64_MAX, which the binary form holds in 16 bytes and which
  // reads as unsigned; a binary integer outside INT64_MIN to UINT64_MAX
  // refuses the bytes, naming where it is. An XML property list is read as
  // written or refused: an integer above INT64_MAX reads as unsigned, and an
  // integer, real or date whose text is malformed or past what the platform
  // holds refuses the whole list.
  static Value read(std::span<const std::uint8_t> bytes, ErrorPtr* error = nullptr,
                    PropertyListFormat* format = nullptr, const PropertyListLimits& limits = {});
  // The same for a file; a missing file is kFileReadNoSuchFileError.
  static Value readFile(const std::string& path, ErrorPtr* error = nullptr,
                        const PropertyListLimits& limits = {});

  // The bytes of `value`; nullopt with kWriteInvalidError for a value that a
  // property list cannot hold (nil, null, URLs, reference objects, text with
  // NUL or invalid UTF-8, dates out of range; in the XML form also text with
  // a control character other than tab, line feed and carriage return, or
  // with U+FFFE or U+FFFF) or whose
  // bytes read() would refuse with the default limits: nesting, nodes, string
  // and data bytes or size, each counted as the reader of `format` counts it
  // (a shared value at every place it sits). Dates in range are those of the
  // years 1 to 9999. The XML form holds a date in whole seconds, by floor;
  // the binary form holds it as it is. An unsigned integer above INT64_MAX is
  // 16 bytes in the binary form.
  static std::optional<Data> write(const Value& value, PropertyListFormat format, ErrorPtr* error = nullptr);
  // Writes the bytes to a temporary file beside `path`, then renames it.
  static bool writeFile(const Value& value, const std::string& path, PropertyListFormat format,
                        ErrorPtr* error = nullptr);

  static ErrorPtr corruptError(const std::string& reason);
  static ErrorPtr invalidValueError(const std::string& reason);
};

}  // namespace platform
