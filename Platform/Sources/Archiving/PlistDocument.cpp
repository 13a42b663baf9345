#include "Archiving/PlistDocument.h"

#include <glib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <variant>

#include "Archiving/PlistObjectTable.h"
#include "Archiving/PlistShapeCheck.h"
#include "Archiving/PlistXmlReader.h"
#include "Values/Dictionary.h"

namespace platform {
namespace {

// Walks the tree that libplist made of a binary property list beside the
// file's objects (`index` is the node's), keeping the integers above
// INT64_MAX as the file holds them. False when the tree is unlike the file.
bool collectAboveInt64Max(plist_t node, std::uint64_t index, const PlistObjectTable& table,
                          std::unordered_map<plist_t, Number>& into) {
  switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
      const std::uint64_t count = plist_dict_get_size(node);
      const auto refs = table.refsOf(index, count, true);
      if (!refs) return false;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      bool alike = true;
      for (std::uint64_t i = 0; alike; ++i) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &key, &item);
        std::free(key);
        if (!item) break;
        // A dictionary's references are its keys, then its values.
        alike = collectAboveInt64Max(item, table.refAt(*refs, count + i), table, into);
      }
      std::free(iter);
      return alike;
    }
    case PLIST_ARRAY: {
      const auto items = PlistDocument::itemsOf(node);
      const auto refs = table.refsOf(index, items.size(), false);
      if (!refs) return false;
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (!collectAboveInt64Max(items[i], table.refAt(*refs, i), table, into)) return false;
      }
      return true;
    }
    case PLIST_UINT: {
      const auto offset = table.offsetOf(index);
      if (!offset || table.typeAt(*offset) != PlistObjectTable::kInteger) return false;
      const auto value = table.integerAt(*offset);
      const auto* number = std::get_if<Number>(&value);
      if (!number) return false;
      if (number->kind() == Number::Kind::UInt) into.emplace(node, *number);
      return true;
    }
    default:
      return true;
  }
}

}  // namespace

std::optional<PlistDocument> PlistDocument::parse(std::span<const std::uint8_t> bytes,
                                                  const PropertyListLimits& limits, ErrorPtr* error,
                                                  PropertyListFormat* format) {
  auto fail = [&](const std::string& reason) -> std::optional<PlistDocument> {
    if (error) *error = PropertyList::corruptError(reason);
    return std::nullopt;
  };
  if (!isBinary(bytes)) {
    // Our own reader takes the XML form; the tree is made from its value.
    const Value value = PlistXmlReader::read(bytes, limits, error);
    if (value.isNil()) return std::nullopt;
    PlistDocument document;
    plist_t root = document.newTree(value);
    if (!root) return fail("a date outside 1932 to 2069, which the tree cannot hold");
    document.root_.reset(root);
    if (format) *format = PropertyListFormat::Xml;
    return document;
  }
  if (bytes.size() > limits.maxBytes || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail("property list too large");
  }
  bool aboveInt64Max = false;
  if (auto refusal = PlistShapeCheck::checkBinary(bytes, limits, &aboveInt64Max)) return fail(*refusal);
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &root);
  if (!root) return fail("damaged binary property list");
  PlistDocument document(root);
  if (aboveInt64Max) {
    // The shape check took the table already.
    const auto table = std::get<PlistObjectTable>(PlistObjectTable::make(bytes));
    if (!collectAboveInt64Max(root, table.top(), table, document.aboveInt64Max_)) {
      return fail("damaged binary property list");
    }
  }
  if (format) *format = PropertyListFormat::Binary;
  return document;
}

bool PlistDocument::isBinary(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0;
}

std::optional<Data> PlistDocument::serialize(PropertyListFormat format, ErrorPtr* error) const {
  if (!root()) {
    if (error) *error = PropertyList::invalidValueError("nothing to write");
    return std::nullopt;
  }
  char* bytes = nullptr;
  std::uint32_t length = 0;
  if (format == PropertyListFormat::Binary) {
    plist_to_bin(root(), &bytes, &length);
  } else {
    plist_to_xml(root(), &bytes, &length);
  }
  if (!bytes) {
    if (error) *error = PropertyList::invalidValueError("the property list could not be written");
    return std::nullopt;
  }
  Data result(reinterpret_cast<const std::uint8_t*>(bytes), reinterpret_cast<const std::uint8_t*>(bytes) + length);
  if (format == PropertyListFormat::Binary) {
    plist_to_bin_free(bytes);
  } else {
    plist_to_xml_free(bytes);
  }
  return result;
}

bool PlistDocument::isStorableText(std::string_view text) {
  return text.find('\0') == std::string_view::npos &&
         g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

std::optional<std::string> PlistDocument::stringOf(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (!text) return std::nullopt;
  const std::string_view view(text, static_cast<std::size_t>(length));
  if (!isStorableText(view)) return std::nullopt;
  return std::string(view);
}

std::optional<Number> PlistDocument::numberOf(plist_t node) const {
  if (!node) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return Number(value != 0);
    }
    case PLIST_UINT: {
      if (const auto found = aboveInt64Max_.find(node); found != aboveInt64Max_.end()) return found->second;
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      return Number(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return Number(value);
    }
    default:
      return std::nullopt;
  }
}

std::optional<Data> PlistDocument::dataOf(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
  std::uint64_t length = 0;
  const char* bytes = plist_get_data_ptr(node, &length);
  if (!bytes) return Data();
  const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
  return Data(begin, begin + length);
}

Value PlistDocument::scalarOf(plist_t node) const {
  if (!node) return Value();
  switch (plist_get_node_type(node)) {
    case PLIST_STRING:
      if (auto text = stringOf(node)) return Value(std::move(*text));
      return Value();
    case PLIST_BOOLEAN:
    case PLIST_UINT:
    case PLIST_REAL:
      return Value(*numberOf(node));
    case PLIST_DATA:
      return Value(*dataOf(node));
    default:
      return Value();
  }
}

std::optional<std::uint64_t> PlistDocument::uidOf(plist_t node) {
  if (!node) return std::nullopt;
  std::uint64_t value = 0;
  if (plist_get_node_type(node) == PLIST_UID) {
    plist_get_uid_val(node, &value);
    return value;
  }
  // Text property lists spell a UID as {"CF$UID": integer}.
  if (!isDictionary(node) || plist_dict_get_size(node) != 1) return std::nullopt;
  plist_t number = plist_dict_get_item(node, kUidKey);
  if (!number || plist_get_node_type(number) != PLIST_UINT) return std::nullopt;
  plist_get_uint_val(number, &value);
  return value;
}

std::vector<plist_t> PlistDocument::itemsOf(plist_t array) {
  std::vector<plist_t> items;
  if (!isArray(array)) return items;
  items.reserve(plist_array_get_size(array));
  plist_array_iter iter = nullptr;
  plist_array_new_iter(array, &iter);
  for (;;) {
    plist_t item = nullptr;
    plist_array_next_item(array, iter, &item);
    if (!item) break;
    items.push_back(item);
  }
  std::free(iter);
  return items;
}

plist_t PlistDocument::newString(std::string_view text) {
  if (!isStorableText(text)) return nullptr;
  return plist_new_string(std::string(text).c_str());
}

plist_t PlistDocument::newTree(const Value& value) {
  if (const Array* array = value.array()) {
    plist_t node = plist_new_array();
    for (const Value& item : *array) {
      plist_t child = newTree(item);
      if (!child) {
        plist_free(node);
        return nullptr;
      }
      plist_array_append_item(node, child);
    }
    return node;
  }
  if (const Dictionary* dictionary = value.dictionary()) {
    plist_t node = plist_new_dict();
    for (const auto& [key, item] : *dictionary) {
      plist_t child = isStorableText(key) ? newTree(item) : nullptr;
      if (!child) {
        plist_free(node);
        return nullptr;
      }
      plist_dict_set_item(node, key.c_str(), child);
    }
    return node;
  }
  if (const Date* date = value.date()) {
    // libplist keeps a date in 32-bit seconds; the XML form holds whole ones.
    const double seconds = date->timeIntervalSinceReferenceDate();
    if (!(seconds >= std::numeric_limits<std::int32_t>::min() && seconds <= std::numeric_limits<std::int32_t>::max()) ||
        seconds != std::floor(seconds)) {
      return nullptr;
    }
    return plist_new_date(static_cast<std::int32_t>(seconds), 0);
  }
  if (const Data* bytes = value.data()) return plist_new_data(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (const std::string* text = value.string()) return newString(*text);
  if (const Number* number = value.number()) {
    switch (number->kind()) {
      case Number::Kind::Bool:
        return plist_new_bool(number->boolValue() ? 1 : 0);
      case Number::Kind::Int:
        // Two's complement in 64 bits, as the binary form's 8-byte integers.
        return plist_new_uint(static_cast<std::uint64_t>(number->integerValue()));
      case Number::Kind::UInt: {
        plist_t node = plist_new_uint(number->unsignedValue());
        // The tree's 64 bits cannot tell it from a negative integer.
        if (number->unsignedValue() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          aboveInt64Max_.emplace(node, *number);
        }
        return node;
      }
      case Number::Kind::Double:
        return plist_new_real(number->doubleValue());
    }
  }
  return nullptr;
}

}  // namespace platform
