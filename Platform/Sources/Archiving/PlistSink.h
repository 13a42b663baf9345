#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Values/Value.h"

namespace platform {

// Where a property list's bytes go: into `out`, or, without it, only counted
// (which is how a writer measures each object with the code that writes it).
// Besides plain bytes it puts the objects of the binary form ("bplist00").
class PlistSink {
 public:
  // Object markers of the binary form (the high nibble of an object's first
  // byte) that only writers need; the others are PlistObjectTable's.
  static constexpr std::uint8_t kReal = 0x2;
  static constexpr std::uint8_t kUid = 0x8;
  static constexpr std::size_t kBinaryHeaderSize = 8;
  static constexpr std::size_t kBinaryTrailerSize = 32;

  // How the binary form holds valid UTF-8: ASCII as it is, anything else as
  // UTF-16 units (two for a character past U+FFFF).
  struct TextForm {
    bool ascii = true;
    std::uint64_t units = 0;
    // The bytes a reader counts for it: three for each UTF-16 unit.
    std::uint64_t payload(std::string_view text) const { return ascii ? text.size() : 3 * units; }
  };
  static TextForm textForm(std::string_view text);
  // The fewest of 1, 2, 4 or 8 bytes that hold `value`.
  static std::size_t widthOf(std::uint64_t value);

  explicit PlistSink(Data* out = nullptr) : out_(out) {}

  bool counting() const { return !out_; }
  std::uint64_t size() const { return size_; }
  // Counts `n` bytes that a counting sink need not see.
  void count(std::uint64_t n) { size_ += n; }

  void put(char c) {
    ++size_;
    if (out_) out_->push_back(static_cast<std::uint8_t>(c));
  }
  void put(std::string_view text) {
    size_ += text.size();
    if (out_) out_->insert(out_->end(), text.begin(), text.end());
  }
  void put(const Data& bytes) {
    size_ += bytes.size();
    if (out_) out_->insert(out_->end(), bytes.begin(), bytes.end());
  }
  void repeat(char c, std::size_t n) {
    size_ += n;
    if (out_) out_->insert(out_->end(), n, static_cast<std::uint8_t>(c));
  }
  void putBigEndian(std::uint64_t value, std::size_t size) {
    for (std::size_t i = size; i-- > 0;) put(static_cast<char>(value >> (8 * i)));
  }

  // Objects of the binary form. Integers of 1, 2 or 4 bytes read as
  // unsigned, of 8 bytes as signed.
  void putInteger(std::int64_t value);
  // A marker with its count: in the low nibble, or in an integer after it.
  void putMarker(std::uint8_t type, std::uint64_t count);
  void putReal(std::uint8_t type, double value);
  // A boolean, an integer or a real; an unsigned integer above INT64_MAX
  // in 16 bytes, which readers take as signed.
  void putNumber(const Number& number);
  // Valid UTF-8 text, ASCII or UTF-16, given its form or not.
  void putText(std::string_view text) { putText(text, textForm(text)); }
  void putText(std::string_view text, TextForm form);
  void putData(const Data& bytes);
  void putUid(std::uint64_t uid);
  // The offset table and the trailer, once the objects are written from
  // kBinaryHeaderSize on: `offsets` of `count` objects, the references'
  // width and the top object.
  template <class Offsets>
  void putTableAndTrailer(const Offsets& offsets, std::uint64_t count, std::size_t refSize, std::uint64_t top) {
    const std::uint64_t table = size_;
    const std::size_t offsetSize = widthOf(table);
    for (const std::uint64_t offset : offsets) putBigEndian(offset, offsetSize);
    // Six bytes unused, the two sizes, then the object count, the top object
    // and where the offset table starts.
    repeat('\0', 6);
    put(static_cast<char>(offsetSize));
    put(static_cast<char>(refSize));
    putBigEndian(count, 8);
    putBigEndian(top, 8);
    putBigEndian(table, 8);
  }

 private:
  Data* out_;
  std::uint64_t size_ = 0;
};

}  // namespace platform
