#include "Archiving/PlistObjectTable.h"

#include <bit>

namespace platform {
namespace {

constexpr std::size_t kTrailerSize = 32;
constexpr std::size_t kHeaderSize = 8;

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | p[i];
  return value;
}

}  // namespace

std::variant<PlistObjectTable, std::string> PlistObjectTable::make(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize + 1 + kTrailerSize) return std::string("binary property list too short");
  PlistObjectTable table(bytes);
  const std::uint8_t* trailer = bytes.data() + bytes.size() - kTrailerSize;
  table.offsetSize_ = trailer[6];
  table.refSize_ = trailer[7];
  table.count_ = readBigEndian(trailer + 8, 8);
  table.top_ = readBigEndian(trailer + 16, 8);
  const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
  const std::size_t trailerStart = bytes.size() - kTrailerSize;

  if (table.offsetSize_ < 1 || table.offsetSize_ > 8 || table.refSize_ < 1 || table.refSize_ > 8) {
    return std::string("bad integer sizes in trailer");
  }
  // Every object takes at least one byte, so there are fewer objects than bytes.
  if (table.count_ == 0 || table.count_ > trailerStart) return std::string("bad object count");
  if (table.top_ >= table.count_) return std::string("top object out of range");
  if (tableOffset < kHeaderSize + 1 || tableOffset > trailerStart ||
      table.count_ > (trailerStart - tableOffset) / table.offsetSize_) {
    return std::string("offset table out of range");
  }
  table.tableOffset_ = static_cast<std::size_t>(tableOffset);
  return table;
}

std::optional<std::size_t> PlistObjectTable::offsetOf(std::uint64_t index) const {
  const std::size_t at = tableOffset_ + static_cast<std::size_t>(index) * offsetSize_;
  const std::uint64_t offset = readBigEndian(bytes_.data() + at, offsetSize_);
  if (offset < kHeaderSize || offset >= tableOffset_) return std::nullopt;
  return static_cast<std::size_t>(offset);
}

std::optional<std::pair<std::uint64_t, std::size_t>> PlistObjectTable::countAt(std::size_t offset) const {
  const std::uint8_t info = bytes_[offset] & 0x0F;
  const std::size_t pos = offset + 1;
  if (info != 0x0F) return std::pair<std::uint64_t, std::size_t>{info, pos};
  if (pos >= tableOffset_ || (bytes_[pos] & 0xF0) != 0x10) return std::nullopt;
  const std::size_t size = std::size_t{1} << (bytes_[pos] & 0x0F);
  if (size > 8 || size > tableOffset_ - pos - 1) return std::nullopt;
  return std::pair<std::uint64_t, std::size_t>{readBigEndian(bytes_.data() + pos + 1, size), pos + 1 + size};
}

std::optional<std::size_t> PlistObjectTable::refsOf(std::uint64_t index, std::uint64_t count, bool keyed) const {
  const auto offset = offsetOf(index);
  if (!offset) return std::nullopt;
  const std::uint8_t type = typeAt(*offset);
  const bool container = keyed ? type == kDictionary : type == kArray || type == kSet;
  const auto counted = countAt(*offset);
  if (!container || !counted || counted->first != count || !fits(counted->second, count, refSize_ * (keyed ? 2 : 1))) {
    return std::nullopt;
  }
  return counted->second;
}

std::uint64_t PlistObjectTable::refAt(std::size_t start, std::uint64_t i) const {
  return readBigEndian(bytes_.data() + start + static_cast<std::size_t>(i) * refSize_, refSize_);
}

std::optional<double> PlistObjectTable::dateOf(std::uint64_t index) const {
  const auto offset = offsetOf(index);
  // A date is its marker and an 8-byte real.
  if (!offset || bytes_[*offset] != (kDate << 4 | 3) || tableOffset_ - *offset < 9) return std::nullopt;
  return std::bit_cast<double>(readBigEndian(bytes_.data() + *offset + 1, 8));
}

std::variant<Number, std::string> PlistObjectTable::integerAt(std::size_t offset) const {
  const unsigned widthLog = bytes_[offset] & 0x0F;
  if (widthLog > 4) return std::string("wider than 64 bits");
  const std::size_t width = std::size_t{1} << widthLog;
  if (width > tableOffset_ - offset - 1) return std::string("past the objects");
  const std::uint8_t* value = bytes_.data() + offset + 1;
  if (width < 8) return Number(static_cast<std::int64_t>(readBigEndian(value, width)));
  if (width == 8) return Number(static_cast<std::int64_t>(readBigEndian(value, 8)));
  // Sixteen bytes hold the platform's number when the high half only extends
  // the low half: zeros above a value to UINT64_MAX, ones above a negative one.
  const std::uint64_t high = readBigEndian(value, 8);
  const std::uint64_t low = readBigEndian(value + 8, 8);
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  if (high == 0) return low < kSign ? Number(static_cast<std::int64_t>(low)) : Number(low);
  if (high == ~std::uint64_t{0} && (low & kSign)) return Number(static_cast<std::int64_t>(low));
  return std::string("wider than 64 bits");
}

}  // namespace platform
