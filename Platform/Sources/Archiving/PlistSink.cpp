#include "Archiving/PlistSink.h"

#include <bit>
#include <limits>

#include "Archiving/PlistObjectTable.h"

namespace platform {

PlistSink::TextForm PlistSink::textForm(std::string_view text) {
  TextForm form;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) form.ascii = false;
    if ((byte & 0xC0) != 0x80) form.units += byte >= 0xF0 ? 2 : 1;
  }
  return form;
}

std::size_t PlistSink::widthOf(std::uint64_t value) {
  if (value <= 0xFF) return 1;
  if (value <= 0xFFFF) return 2;
  if (value <= 0xFFFFFFFF) return 4;
  return 8;
}

void PlistSink::putInteger(std::int64_t value) {
  const std::size_t width = value < 0 ? 8 : widthOf(static_cast<std::uint64_t>(value));
  put(static_cast<char>(PlistObjectTable::kInteger << 4 | std::countr_zero(width)));
  putBigEndian(static_cast<std::uint64_t>(value), width);
}

void PlistSink::putMarker(std::uint8_t type, std::uint64_t count) {
  if (count < 15) {
    put(static_cast<char>(type << 4 | count));
    return;
  }
  put(static_cast<char>(type << 4 | 0xF));
  putInteger(static_cast<std::int64_t>(count));
}

void PlistSink::putReal(std::uint8_t type, double value) {
  put(static_cast<char>(type << 4 | 3));
  putBigEndian(std::bit_cast<std::uint64_t>(value), 8);
}

void PlistSink::putNumber(const Number& number) {
  if (number.isBool()) return put(number.boolValue() ? '\x09' : '\x08');
  if (number.isDouble()) return putReal(kReal, number.doubleValue());
  constexpr auto kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (number.kind() == Number::Kind::UInt && number.unsignedValue() > kInt64Max) {
    // Sixteen bytes, which readers take as signed: a zero high half.
    put(static_cast<char>(PlistObjectTable::kInteger << 4 | 4));
    repeat('\0', 8);
    return putBigEndian(number.unsignedValue(), 8);
  }
  putInteger(number.integerValue());
}

void PlistSink::putText(std::string_view text, TextForm form) {
  if (form.ascii) {
    putMarker(PlistObjectTable::kAsciiString, text.size());
    put(text);
    return;
  }
  putMarker(PlistObjectTable::kUtf16String, form.units);
  if (counting()) return count(2 * form.units);
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    if (code < 0x10000) {
      putBigEndian(code, 2);
    } else {
      code -= 0x10000;
      putBigEndian(0xD800 | code >> 10, 2);
      putBigEndian(0xDC00 | (code & 0x3FF), 2);
    }
  }
}

void PlistSink::putData(const Data& bytes) {
  putMarker(PlistObjectTable::kData, bytes.size());
  if (counting()) return count(bytes.size());
  put(bytes);
}

void PlistSink::putUid(std::uint64_t uid) {
  const std::size_t width = widthOf(uid);
  put(static_cast<char>(kUid << 4 | (width - 1)));
  putBigEndian(uid, width);
}

}  // namespace platform
