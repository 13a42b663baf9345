#include "Archiving/PropertyListGraph.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "Archiving/PlistDocument.h"
#include "Archiving/PlistObjectTable.h"
#include "Archiving/PlistScalarText.h"
#include "Archiving/PlistSink.h"
#include "System/CompilerWarnings.h"
#include "Values/Dictionary.h"

namespace platform {
namespace {

constexpr std::string_view kXmlHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
constexpr std::string_view kXmlFoot = "</plist>\n";
// Base64 text of data is written in lines of 68 characters (51 bytes).
constexpr std::size_t kBase64LineBytes = 51;

// Binary form of a string, number, data or date that a property list can hold.
void putBinaryScalar(PlistSink& sink, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::String:
      return sink.putText(*value.string());
    case Value::Kind::Number:
      return sink.putNumber(*value.number());
    case Value::Kind::Data:
      return sink.putData(*value.data());
    default:
      return sink.putReal(PlistObjectTable::kDate, value.date()->timeIntervalSinceReferenceDate());
  }
}

// Whether XML 1.0 carries valid UTF-8 text: no control character but tab,
// line feed and carriage return, and neither U+FFFE nor U+FFFF.
bool xmlCarries(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return false;
    // U+FFFE and U+FFFF are EF BF BE and EF BF BF.
    if (byte == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
      return false;
    }
  }
  return true;
}

// Text content: markup characters escaped, and a carriage return as a
// character reference, since XML readers turn a raw one into a line feed.
void putEscaped(PlistSink& sink, std::string_view text) {
  while (!text.empty()) {
    const std::size_t special = std::min(text.find_first_of("&<>\r"), text.size());
    sink.put(text.substr(0, special));
    if (special == text.size()) return;
    switch (text[special]) {
      case '&': sink.put("&amp;"); break;
      case '<': sink.put("&lt;"); break;
      case '>': sink.put("&gt;"); break;
      default: sink.put("&#13;"); break;
    }
    text.remove_prefix(special + 1);
  }
}

// The shortest text that reads back as the same real, its sign kept.
std::string xmlReal(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-infinity" : "+infinity";
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  std::string result(text, end);
  if (result.find_first_of(".e") == std::string::npos) result += ".0";
  return result;
}

std::string xmlInteger(const Number& number) {
  char text[24];
  const auto end = number.kind() == Number::Kind::UInt ? std::to_chars(text, text + sizeof text, number.unsignedValue()).ptr
                                                      : std::to_chars(text, text + sizeof text, number.integerValue()).ptr;
  return std::string(text, end);
}

// The XML element of a string, number or date, with its line end.
void putXmlScalar(PlistSink& sink, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::String:
      sink.put("<string>");
      putEscaped(sink, *value.string());
      return sink.put("</string>\n");
    case Value::Kind::Number: {
      const Number& number = *value.number();
      if (number.isBool()) return sink.put(number.boolValue() ? "<true/>\n" : "<false/>\n");
      if (number.isDouble()) {
        sink.put("<real>");
        sink.put(xmlReal(number.doubleValue()));
        return sink.put("</real>\n");
      }
      sink.put("<integer>");
      sink.put(xmlInteger(number));
      return sink.put("</integer>\n");
    }
    default:
      sink.put("<date>");
      sink.put(PlistScalarText::dateText(*PlistScalarText::wholeSeconds(*value.date())));
      return sink.put("</date>\n");
  }
}

void putXmlKey(PlistSink& sink, std::string_view key) {
  sink.put("<key>");
  putEscaped(sink, key);
  sink.put("</key>\n");
}

std::uint64_t base64Lines(const Data& bytes) { return (bytes.size() + kBase64LineBytes - 1) / kBase64LineBytes; }

// Data as base64 in lines of its own, each indented `depth` levels, and the
// closing tag; the opening tag's line is indented by the caller.
void putXmlData(PlistSink& sink, const Data& bytes, std::size_t depth) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  sink.put("<data>\n");
  if (sink.counting()) {
    sink.count(4 * ((bytes.size() + 2) / 3) + (depth + 1) * base64Lines(bytes));
  } else {
    for (std::size_t line = 0; line < bytes.size(); line += kBase64LineBytes) {
      sink.repeat('\t', depth);
      const std::size_t end = std::min(bytes.size(), line + kBase64LineBytes);
      for (std::size_t i = line; i < end; i += 3) {
        const std::size_t count = std::min<std::size_t>(3, end - i);
        const std::uint32_t group = bytes[i] << 16 | (count > 1 ? bytes[i + 1] << 8 : 0) | (count > 2 ? bytes[i + 2] : 0);
        for (std::size_t k = 0; k < 4; ++k) sink.put(k <= count ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
      }
      sink.put('\n');
    }
  }
  sink.repeat('\t', depth);
  sink.put("</data>\n");
}

constexpr std::string_view openTag(char kind) { return kind == 'A' ? "<array>\n" : "<dict>\n"; }
constexpr std::string_view closeTag(char kind) { return kind == 'A' ? "</array>\n" : "</dict>\n"; }
constexpr std::string_view emptyTag(char kind) { return kind == 'A' ? "<array/>\n" : "<dict/>\n"; }

}  // namespace

class PropertyListGraph::Builder {
 public:
  Builder(const PropertyListLimits& limits, bool binary)
      : limits_(limits), binary_(binary), rootLevels_(binary ? 0 : 1) {
    graph.binary_ = binary;
  }

  // The index of `value`'s object, `depth` levels below the top.
  std::optional<std::uint64_t> add(const Value& value, std::size_t depth) {
    if (depth >= limits_.maxDepth) return fail("nested too deeply");
    const auto index = (value.array() || value.dictionary()) ? addCollection(value, depth) : addScalar(value);
    if (index && rootLevels_ + depth + graph.objects_[*index].height > limits_.maxDepth) {
      return fail("nested too deeply");
    }
    return index;
  }

  // Measures the whole property list once its top is known.
  bool finish(std::uint64_t top) {
    graph.top_ = top;
    if (binary_) {
      const std::size_t refSize = PlistSink::widthOf(graph.objects_.size() - 1);
      std::uint64_t table = PlistSink::kBinaryHeaderSize;
      for (const Object& object : graph.objects_) table += object.size + object.refs.size() * refSize;
      graph.size_ = table + graph.objects_.size() * PlistSink::widthOf(table) + PlistSink::kBinaryTrailerSize;
    } else {
      graph.size_ = kXmlHead.size() + graph.objects_[top].size + kXmlFoot.size();
    }
    if (graph.size_ <= limits_.maxBytes) return true;
    fail("larger than a reader takes");
    return false;
  }

  PropertyListGraph graph;
  ErrorPtr error;

 private:
  std::optional<std::uint64_t> fail(const std::string& reason) {
    if (!error) error = PropertyList::invalidValueError(reason);
    return std::nullopt;
  }

  // Whether a tree so far, or as a whole, stays within what a reader takes;
  // checked as it grows, so that a value far past the limits is refused at
  // once (and no count can overflow).
  bool withinLimits(const Object& object) {
    if (object.nodes + rootLevels_ > limits_.maxNodes) {
      fail("more nodes than a reader takes");
    } else if (binary_ && object.payload > limits_.maxPayloadBytes) {
      fail("more string and data bytes than a reader takes");
    } else if (!binary_ && kXmlHead.size() + object.size + kXmlFoot.size() > limits_.maxBytes) {
      fail("larger than a reader takes");
    } else {
      return true;
    }
    return false;
  }

  // A new object, once the binary form's objects so far fit in a file that a
  // reader takes (each reference in one byte at least).
  std::optional<std::uint64_t> admit(Object object) {
    if (!withinLimits(object)) return std::nullopt;
    if (binary_) {
      written_ += object.size + object.refs.size();
      if (PlistSink::kBinaryHeaderSize + written_ > limits_.maxBytes) return fail("larger than a reader takes");
    }
    graph.objects_.push_back(std::move(object));
    return graph.objects_.size() - 1;
  }

  std::optional<std::uint64_t> addCollection(const Value& value, std::size_t depth) {
    if (const auto known = collections_.find(value.sharedStorage()); known != collections_.end()) return known->second;
    const auto* array = value.array();
    Object object;
    object.kind = array ? 'A' : 'D';
    // An empty collection is one empty element in the XML form.
    object.height = binary_ ? 1 : 0;
    // Each item adds its tree; past a limit, the value is refused at once.
    const auto take = [&](std::optional<std::uint64_t> index, std::vector<std::uint64_t>& into) {
      if (!index) return false;
      const Object& taken = graph.objects_[*index];
      into.push_back(*index);
      object.nodes += taken.nodes;
      object.payload += taken.payload;
      object.height = std::max(object.height, taken.height + 1);
      if (!binary_) {
        object.size += taken.size + taken.lines;
        object.lines += taken.lines;
      }
      return withinLimits(object);
    };
    if (array) {
      for (const Value& item : *array) {
        if (!take(add(item, depth + 1), object.refs)) return std::nullopt;
      }
    } else {
      std::vector<std::uint64_t> values;
      for (const auto& [key, item] : *value.dictionary()) {
        if (!take(addKey(key, depth + 1), object.refs) || !take(add(item, depth + 1), values)) return std::nullopt;
      }
      object.refs.insert(object.refs.end(), values.begin(), values.end());
    }
    const std::uint64_t count = array ? object.refs.size() : object.refs.size() / 2;
    if (binary_) {
      PlistSink marker;
      marker.putMarker(array ? PlistObjectTable::kArray : PlistObjectTable::kDictionary, count);
      object.size = marker.size();
    } else if (count == 0) {
      object.size = emptyTag(object.kind).size();
      object.lines = 1;
    } else {
      object.size += openTag(object.kind).size() + closeTag(object.kind).size();
      object.lines += 2;
    }
    const auto index = admit(std::move(object));
    if (index) collections_.emplace(value.sharedStorage(), *index);
    return index;
  }

  // A dictionary's key, as deep as its value.
  std::optional<std::uint64_t> addKey(const std::string& key, std::size_t depth) {
    if (!PlistDocument::isStorableText(key)) return fail("key is not valid text");
    if (!binary_ && !xmlCarries(key)) return fail("key holds a character that XML cannot carry");
    if (rootLevels_ + depth + 1 > limits_.maxDepth) return fail("nested too deeply");
    if (binary_) {
      if (const auto known = texts_.find(key); known != texts_.end()) return known->second;
    }
    Object object;
    object.key = &key;
    object.height = 1;
    PlistSink measure;
    if (binary_) {
      measure.putText(key);
      object.payload = PlistSink::textForm(key).payload(key);
    } else {
      putXmlKey(measure, key);
      object.lines = 1;
    }
    object.size = measure.size();
    const auto index = admit(std::move(object));
    if (index && binary_) texts_.emplace(key, *index);
    return index;
  }

  // A scalar of the value; in the binary form one object serves equal
  // scalars, and in both one serves a data item wherever it is shared.
  std::optional<std::uint64_t> addScalar(const Value& value) {
    Object object;
    object.scalar = &value;
    object.height = 1;
    object.lines = binary_ ? 0 : 1;
    std::unordered_map<std::string_view, std::uint64_t>* contents = nullptr;
    std::string_view content;
    std::string encoded;
    switch (value.kind()) {
      case Value::Kind::String:
        if (!PlistDocument::isStorableText(*value.string())) return fail("string holds NUL or invalid UTF-8");
        if (!binary_ && !xmlCarries(*value.string())) return fail("string holds a character that XML cannot carry");
        contents = &texts_;
        content = *value.string();
        if (binary_) object.payload = PlistSink::textForm(content).payload(content);
        break;
      case Value::Kind::Number:
        // Booleans are empty elements in the XML form.
        if (!binary_ && value.number()->isBool()) object.height = 0;
        break;
      case Value::Kind::Data: {
        // A data item that the value shares is measured, and in the binary
        // form compared, once however often it is referred to.
        if (const auto known = sharedData_.find(value.sharedStorage()); known != sharedData_.end()) {
          return known->second;
        }
        const Data& bytes = *value.data();
        contents = &dataContents_;
        content = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        object.payload = bytes.size();
        if (!binary_) object.lines = 2 + base64Lines(bytes);
        break;
      }
      case Value::Kind::Date:
        if (!PlistScalarText::wholeSeconds(*value.date())) return fail("date outside the years 1 to 9999");
        break;
      default:
        return fail("no property-list form for " + value.description());
    }
    if (!binary_) return record(value, addXmlScalar(std::move(object)));
    if (contents) {
      if (const auto known = contents->find(content); known != contents->end()) return record(value, known->second);
    } else {
      Data bytes;
      PlistSink sink(&bytes);
      putBinaryScalar(sink, value);
      encoded.assign(bytes.begin(), bytes.end());
      if (const auto known = smalls_.find(encoded); known != smalls_.end()) return known->second;
    }
    PlistSink measure;
    putBinaryScalar(measure, value);
    object.size = measure.size();
    const auto index = admit(std::move(object));
    if (!index) return std::nullopt;
    if (contents) {
      contents->emplace(content, *index);
    } else {
      smalls_.emplace(std::move(encoded), *index);
    }
    return record(value, *index);
  }

  std::optional<std::uint64_t> addXmlScalar(Object object) {
    PlistSink measure;
    if (const Data* bytes = object.scalar->data()) {
      putXmlData(measure, *bytes, 0);
    } else {
      putXmlScalar(measure, *object.scalar);
    }
    object.size = measure.size();
    return admit(std::move(object));
  }

  // Remembers the object of a shared data item.
  std::optional<std::uint64_t> record(const Value& value, std::optional<std::uint64_t> index) {
    if (index && value.data()) sharedData_.emplace(value.sharedStorage(), *index);
    return index;
  }

  const PropertyListLimits& limits_;
  bool binary_;
  std::size_t rootLevels_;  // the XML form's plist element, which its reader counts
  std::uint64_t written_ = 0;
  std::unordered_map<const void*, std::uint64_t> collections_;
  std::unordered_map<const void*, std::uint64_t> sharedData_;
  std::unordered_map<std::string_view, std::uint64_t> texts_;
  std::unordered_map<std::string_view, std::uint64_t> dataContents_;
  std::unordered_map<std::string, std::uint64_t> smalls_;
};

std::optional<PropertyListGraph> PropertyListGraph::make(const Value& value, PropertyListFormat format,
                                                         ErrorPtr* error, const PropertyListLimits& limits) {
  Builder builder(limits, format == PropertyListFormat::Binary);
  const auto top = builder.add(value, 0);
  if (!top || !builder.finish(*top)) {
    if (error) *error = builder.error;
    return std::nullopt;
  }
  return std::move(builder.graph);
}

PT_GCC12_RESERVED_INSERT_BEGIN
Data PropertyListGraph::bytes() const {
  Data out;
  out.reserve(size_);
  if (binary_) {
    writeBinary(out);
  } else {
    out.insert(out.end(), kXmlHead.begin(), kXmlHead.end());
    writeXml(out, top_, 0);
    out.insert(out.end(), kXmlFoot.begin(), kXmlFoot.end());
  }
  return out;
}
PT_GCC12_RESERVED_INSERT_END

void PropertyListGraph::writeBinary(Data& out) const {
  PlistSink sink(&out);
  sink.put("bplist00");
  const std::size_t refSize = PlistSink::widthOf(objects_.size() - 1);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(objects_.size());
  for (const Object& object : objects_) {
    offsets.push_back(out.size());
    if (object.key) {
      sink.putText(*object.key);
    } else if (object.scalar) {
      putBinaryScalar(sink, *object.scalar);
    } else {
      const bool dictionary = object.kind == 'D';
      sink.putMarker(dictionary ? PlistObjectTable::kDictionary : PlistObjectTable::kArray,
                     object.refs.size() / (dictionary ? 2 : 1));
      for (const std::uint64_t ref : object.refs) sink.putBigEndian(ref, refSize);
    }
  }
  sink.putTableAndTrailer(offsets, objects_.size(), refSize, top_);
}

void PropertyListGraph::writeXml(Data& out, std::uint64_t index, std::size_t depth) const {
  PlistSink sink(&out);
  const Object& object = objects_[index];
  sink.repeat('\t', depth);
  if (object.key) return putXmlKey(sink, *object.key);
  if (object.scalar) {
    if (const Data* bytes = object.scalar->data()) return putXmlData(sink, *bytes, depth);
    return putXmlScalar(sink, *object.scalar);
  }
  if (object.refs.empty()) return sink.put(emptyTag(object.kind));
  sink.put(openTag(object.kind));
  if (object.kind == 'A') {
    for (const std::uint64_t ref : object.refs) writeXml(out, ref, depth + 1);
  } else {
    const std::size_t count = object.refs.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
      writeXml(out, object.refs[i], depth + 1);
      writeXml(out, object.refs[count + i], depth + 1);
    }
  }
  sink.repeat('\t', depth);
  sink.put(closeTag(object.kind));
}

}  // namespace platform
