#include "Archiving/PropertyListGraph.h"

#include <glib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>

#include "Archiving/PropertyList.h"
#include "Values/Dictionary.h"

namespace platform {
namespace {

// Object markers of the binary form (the high nibble of an object's first byte).
constexpr std::uint8_t kInteger = 0x1;
constexpr std::uint8_t kData = 0x4;
constexpr std::uint8_t kAsciiString = 0x5;
constexpr std::uint8_t kUtf16String = 0x6;
constexpr std::uint8_t kArray = 0xA;
constexpr std::uint8_t kDictionary = 0xD;

void appendBigEndian(std::string& out, std::uint64_t value, std::size_t size) {
  for (std::size_t i = size; i-- > 0;) out += static_cast<char>(value >> (8 * i));
}

// The fewest of 1, 2, 4 or 8 bytes that hold `value`.
std::size_t widthOf(std::uint64_t value) {
  if (value <= 0xFF) return 1;
  if (value <= 0xFFFF) return 2;
  if (value <= 0xFFFFFFFF) return 4;
  return 8;
}

// Integers of 1, 2 or 4 bytes read as unsigned, of 8 bytes as signed.
void appendInteger(std::string& out, std::int64_t value) {
  const std::size_t width = value < 0 ? 8 : widthOf(static_cast<std::uint64_t>(value));
  out += static_cast<char>(kInteger << 4 | std::countr_zero(width));
  appendBigEndian(out, static_cast<std::uint64_t>(value), width);
}

// A marker with its count: in the low nibble, or in an integer after it.
void appendMarker(std::string& out, std::uint8_t type, std::uint64_t count) {
  if (count < 15) {
    out += static_cast<char>(type << 4 | count);
    return;
  }
  out += static_cast<char>(type << 4 | 0xF);
  appendInteger(out, static_cast<std::int64_t>(count));
}

void appendDouble(std::string& out, std::uint8_t marker, double value) {
  out += static_cast<char>(marker);
  appendBigEndian(out, std::bit_cast<std::uint64_t>(value), 8);
}

// Valid UTF-8 without NUL: ASCII as it is, anything else as UTF-16.
std::string encodedString(std::string_view text) {
  std::string out;
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    appendMarker(out, kAsciiString, text.size());
    out += text;
    return out;
  }
  glong units = 0;
  gunichar2* utf16 = g_utf8_to_utf16(text.data(), static_cast<glong>(text.size()), nullptr, &units, nullptr);
  appendMarker(out, kUtf16String, static_cast<std::uint64_t>(units));
  for (glong i = 0; i < units; ++i) appendBigEndian(out, utf16[i], 2);
  g_free(utf16);
  return out;
}

// A date's whole seconds and microseconds since the reference date, as both
// forms write it; nullopt out of their range.
std::optional<std::pair<std::int32_t, std::int32_t>> dateParts(const Date& date) {
  const double seconds = date.timeIntervalSinceReferenceDate();
  const double whole = std::floor(seconds);
  if (!std::isfinite(seconds) || whole < std::numeric_limits<std::int32_t>::min() ||
      whole > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  const auto micro = static_cast<std::int32_t>(std::lround((seconds - whole) * 1e6));
  return std::pair{static_cast<std::int32_t>(whole), std::min(micro, 999999)};
}

// The binary form of a string, number, data or date that a property list can hold.
std::string encodedScalar(const Value& value) {
  std::string out;
  switch (value.kind()) {
    case Value::Kind::String:
      return encodedString(*value.string());
    case Value::Kind::Number: {
      const Number& number = *value.number();
      if (number.isBool()) return number.boolValue() ? "\x09" : "\x08";
      if (number.isDouble()) {
        appendDouble(out, 0x23, number.doubleValue());
      } else {
        appendInteger(out, number.integerValue());
      }
      return out;
    }
    case Value::Kind::Data: {
      const Data& bytes = *value.data();
      appendMarker(out, kData, bytes.size());
      out.append(bytes.begin(), bytes.end());
      return out;
    }
    default: {
      const auto parts = dateParts(*value.date());
      appendDouble(out, 0x33, parts->first + parts->second / 1e6);
      return out;
    }
  }
}

}  // namespace

class PropertyListGraph::Builder {
 public:
  Builder(std::uint64_t maxNodes, bool binary) : maxNodes_(maxNodes), binary_(binary) {}

  // The index of `value`'s object, `depth` levels below the top.
  std::optional<std::uint64_t> add(const Value& value, std::size_t depth) {
    if (depth >= kMaxDepth) return fail("nested too deeply");
    const auto* array = value.array();
    const auto* dictionary = value.dictionary();
    if (!array && !dictionary) return addScalar(value, nullptr);
    if (const auto known = collections_.find(value.sharedStorage()); known != collections_.end()) {
      if (depth + graph.objects_[known->second].height > kMaxDepth) return fail("nested too deeply");
      return known->second;
    }
    Object object;
    object.kind = array ? 'A' : 'D';
    // Each item adds its nodes, each key one more; past the limit, at once.
    const auto take = [&](const Value& item, std::uint64_t extra) {
      const auto index = add(item, depth + 1);
      if (!index) return false;
      const Object& taken = graph.objects_[*index];
      object.refs.push_back(*index);
      object.height = std::max(object.height, taken.height + 1);
      object.nodes += taken.nodes + extra;
      if (object.nodes <= maxNodes_) return true;
      fail("more nodes than a reader takes");
      return false;
    };
    if (array) {
      for (const Value& item : *array) {
        if (!take(item, 0)) return std::nullopt;
      }
    } else {
      std::vector<std::uint64_t> keys;
      for (const auto& [key, item] : *dictionary) {
        if (!PlistDocument::isStorableText(key)) return fail("key is not valid text");
        keys.push_back(*addScalar(Value(), &key));
        if (!take(item, 1)) return std::nullopt;
      }
      object.refs.insert(object.refs.begin(), keys.begin(), keys.end());
    }
    graph.objects_.push_back(std::move(object));
    const std::uint64_t index = graph.objects_.size() - 1;
    collections_.emplace(value.sharedStorage(), index);
    return index;
  }

  PropertyListGraph graph;
  ErrorPtr error;

 private:
  // Readers take trees of this depth at most.
  static constexpr std::size_t kMaxDepth = PropertyListLimits{}.maxDepth;

  std::optional<std::uint64_t> fail(const std::string& reason) {
    if (!error) error = PropertyList::invalidValueError(reason);
    return std::nullopt;
  }

  // A scalar of the value, or a dictionary's `key` (valid text).
  std::optional<std::uint64_t> addScalar(const Value& value, const std::string* key) {
    if (key) return addObject(Object{0, nullptr, key, binary_ ? encodedString(*key) : std::string(), {}, 1, 1});
    switch (value.kind()) {
      case Value::Kind::String:
        if (!PlistDocument::isStorableText(*value.string())) return fail("string holds NUL or invalid UTF-8");
        break;
      case Value::Kind::Number:
        if (!PlistDocument::isStorableNumber(*value.number())) return fail("unsigned integer above INT64_MAX");
        break;
      case Value::Kind::Data:
        break;
      case Value::Kind::Date:
        if (!dateParts(*value.date())) return fail("date out of range");
        break;
      default:
        return fail("no property-list form for " + value.description());
    }
    return addObject(Object{0, &value, nullptr, binary_ ? encodedScalar(value) : std::string(), {}, 1, 1});
  }

  // A scalar's object; in the binary form, one of equal scalars serves all.
  std::uint64_t addObject(Object object) {
    if (binary_) {
      const auto [found, added] = scalars_.try_emplace(object.encoded, graph.objects_.size());
      if (!added) return found->second;
    }
    graph.objects_.push_back(std::move(object));
    return graph.objects_.size() - 1;
  }

  std::uint64_t maxNodes_;
  bool binary_;
  std::unordered_map<const void*, std::uint64_t> collections_;
  std::unordered_map<std::string, std::uint64_t> scalars_;
};

std::optional<PropertyListGraph> PropertyListGraph::make(const Value& value, PropertyListFormat format,
                                                         ErrorPtr* error) {
  // The XML form holds one element more than the tree: the plist root.
  const bool binary = format == PropertyListFormat::Binary;
  Builder builder(PropertyListLimits{}.maxNodes - (binary ? 0 : 1), binary);
  const auto top = builder.add(value, 0);
  if (!top) {
    if (error) *error = builder.error;
    return std::nullopt;
  }
  builder.graph.top_ = *top;
  return std::move(builder.graph);
}

Data PropertyListGraph::binary() const {
  std::string out = "bplist00";
  const std::size_t refSize = widthOf(objects_.size() - 1);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(objects_.size());
  for (const Object& object : objects_) {
    offsets.push_back(out.size());
    if (!object.kind) {
      out += object.encoded;
      continue;
    }
    const bool dictionary = object.kind == 'D';
    appendMarker(out, dictionary ? kDictionary : kArray, object.refs.size() / (dictionary ? 2 : 1));
    for (const std::uint64_t ref : object.refs) appendBigEndian(out, ref, refSize);
  }
  const std::uint64_t table = out.size();
  const std::size_t offsetSize = widthOf(table);
  for (const std::uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
  // The trailer: six bytes unused, the two sizes, then the object count, the
  // top object and where the offset table starts.
  out.append(6, '\0');
  out += static_cast<char>(offsetSize);
  out += static_cast<char>(refSize);
  appendBigEndian(out, objects_.size(), 8);
  appendBigEndian(out, top_, 8);
  appendBigEndian(out, table, 8);
  return Data(out.begin(), out.end());
}

PlistDocument PropertyListGraph::tree() const { return PlistDocument(node(top_)); }

plist_t PropertyListGraph::node(std::uint64_t index) const {
  const Object& object = objects_[index];
  if (object.kind == 'A') {
    plist_t array = plist_new_array();
    for (const std::uint64_t ref : object.refs) plist_array_append_item(array, node(ref));
    return array;
  }
  if (object.kind == 'D') {
    plist_t dictionary = plist_new_dict();
    const std::size_t count = object.refs.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
      plist_dict_set_item(dictionary, objects_[object.refs[i]].key->c_str(), node(object.refs[count + i]));
    }
    return dictionary;
  }
  const Value& scalar = *object.scalar;
  switch (scalar.kind()) {
    case Value::Kind::String:
      return PlistDocument::newString(*scalar.string());
    case Value::Kind::Number:
      return PlistDocument::newNumber(*scalar.number());
    case Value::Kind::Data:
      return plist_new_data(reinterpret_cast<const char*>(scalar.data()->data()), scalar.data()->size());
    default: {
      const auto parts = dateParts(*scalar.date());
      return plist_new_date(parts->first, parts->second);
    }
  }
}

}  // namespace platform
