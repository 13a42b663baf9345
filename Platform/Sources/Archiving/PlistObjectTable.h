#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "Values/Number.h"

namespace platform {

// The objects of a binary property list ("bplist00") found by index, as its
// trailer and offset table place them: where each starts, its type, the count
// of a string, data or container, a container's references and the value of
// an integer or a date. Nothing is copied: the table reads the caller's bytes,
// which must outlive it. Only the trailer is checked when the table is made;
// an object's offset is checked when asked for, its contents by whoever walks
// them (PlistShapeCheck).
class PlistObjectTable {
 public:
  // Object types, the high nibble of an object's first byte.
  static constexpr std::uint8_t kInteger = 0x1;
  static constexpr std::uint8_t kDate = 0x3;
  static constexpr std::uint8_t kData = 0x4;
  static constexpr std::uint8_t kAsciiString = 0x5;
  static constexpr std::uint8_t kUtf16String = 0x6;
  static constexpr std::uint8_t kArray = 0xA;
  static constexpr std::uint8_t kSet = 0xC;
  static constexpr std::uint8_t kDictionary = 0xD;

  // The table of `bytes`, or the reason they hold none: sizes, object count,
  // top object and offset table must be consistent and lie within the bytes.
  static std::variant<PlistObjectTable, std::string> make(std::span<const std::uint8_t> bytes);

  std::uint64_t count() const { return count_; }
  std::uint64_t top() const { return top_; }

  // Where object `index` (below count()) starts: between the header and the
  // offset table, or nullopt.
  std::optional<std::size_t> offsetOf(std::uint64_t index) const;
  std::uint8_t typeAt(std::size_t offset) const { return bytes_[offset] >> 4; }
  // The count of the string, data or container at `offset` and where its
  // contents start; nullopt when the count does not fit before the table.
  std::optional<std::pair<std::uint64_t, std::size_t>> countAt(std::size_t offset) const;
  // Whether `count` items of `unit` bytes each fit between `start` and the table.
  bool fits(std::size_t start, std::uint64_t count, std::uint64_t unit) const {
    return count <= (tableOffset_ - start) / unit;
  }
  std::size_t refSize() const { return refSize_; }
  // Where the references of object `index` start, when it is a container of
  // `count` items whose references fit: a dictionary (`keyed`, its keys
  // then its values) or an array or set. nullopt for anything else.
  std::optional<std::size_t> refsOf(std::uint64_t index, std::uint64_t count, bool keyed) const;
  // Reference `i` of the references that start at `start` (which fit).
  std::uint64_t refAt(std::size_t start, std::uint64_t i) const;
  // The value of the integer at `offset`, or why it has none: "past the
  // objects" when its bytes run into the table, "wider than 64 bits" when it
  // is more than 16 bytes or its value lies outside INT64_MIN to UINT64_MAX.
  // Integers of 1, 2 and 4 bytes are unsigned, of 8 and 16 bytes signed; a
  // value above INT64_MAX is an unsigned number, any other a signed one.
  std::variant<Number, std::string> integerAt(std::size_t offset) const;
  // The contents of a string or data object: `size` bytes from `start`.
  const std::uint8_t* bytesAt(std::size_t start) const { return bytes_.data() + start; }
  // The seconds since the reference date of object `index` when it is a date.
  std::optional<double> dateOf(std::uint64_t index) const;

 private:
  explicit PlistObjectTable(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::span<const std::uint8_t> bytes_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t top_ = 0;
  std::size_t tableOffset_ = 0;
};

}  // namespace platform
