#include "Archiving/PlistXmlReader.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Archiving/PlistScalarText.h"
#include "Text/Base64.h"
#include "Values/Dictionary.h"

namespace platform {
namespace {

// Large documents and deep nesting are bounded by the caller's limits, not by
// libxml2's fixed ones (256 levels, 10 MB of text in one node). Entities are
// left as references, which the reader refuses, and nothing comes from the
// network; the external subset is never loaded, as the handler below has no
// callback that would load it.
constexpr int kParseOptions = XML_PARSE_HUGE | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

enum class Element : std::uint8_t { Unknown, Plist, Array, Dict, Key, String, Integer, Real, True, False, Date, Data };

Element elementNamed(const xmlChar* name) {
  static constexpr struct {
    std::string_view name;
    Element element;
  } kElements[] = {{"plist", Element::Plist},   {"array", Element::Array},     {"dict", Element::Dict},
                   {"key", Element::Key},       {"string", Element::String},   {"integer", Element::Integer},
                   {"real", Element::Real},     {"true", Element::True},       {"false", Element::False},
                   {"date", Element::Date},     {"data", Element::Data}};
  const std::string_view text(reinterpret_cast<const char*>(name));
  for (const auto& known : kElements) {
    if (known.name == text) return known.element;
  }
  return Element::Unknown;
}

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isBlank(std::string_view text) {
  for (const char c : text) {
    if (!isXmlSpace(c)) return false;
  }
  return true;
}

// The parts one after the other (for messages, without the insertions at the
// front that `"text" + string` makes).
std::string joined(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) text.append(part);
  return text;
}

// At most 40 bytes of `text` for a message, cut where a character begins.
std::string excerpt(std::string_view text) {
  constexpr std::size_t kMost = 40;
  if (text.size() <= kMost) return std::string(text);
  std::size_t end = kMost;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return joined({text.substr(0, end), "..."});
}

// Frees a parser context with the document that libxml2 may have made for
// it without being asked: a declared entity goes into one, for expat's sake.
struct FreeContext {
  void operator()(xmlParserCtxtPtr context) const {
    if (context->myDoc) xmlFreeDoc(context->myDoc);
    context->myDoc = nullptr;
    xmlFreeParserCtxt(context);
  }
};

void prepareLibxml() {
  static const bool prepared = [] {
    xmlInitParser();
    return true;
  }();
  (void)prepared;
}

// One parse: libxml2's SAX callbacks, all on the reading thread, build the
// value as the elements close.
class Parse {
 public:
  explicit Parse(const PropertyListLimits& limits) : limits_(limits) {}

  Value run(std::span<const std::uint8_t> bytes, ErrorPtr* error) {
    prepareLibxml();
    xmlSAXHandler handler{};
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = &Parse::onStart;
    handler.endElementNs = &Parse::onEnd;
    handler.characters = &Parse::onText;
    handler.ignorableWhitespace = &Parse::onText;
    handler.cdataBlock = &Parse::onText;
    handler.reference = &Parse::onReference;
    handler.entityDecl = &Parse::onEntityDeclaration;
    handler.serror = &Parse::onError;
    const std::unique_ptr<xmlParserCtxt, FreeContext> context(
        xmlCreatePushParserCtxt(&handler, this, nullptr, 0, nullptr));
    if (!context) return refuse(error, "the XML parser could not be made");
    context_ = context.get();
    xmlCtxtUseOptions(context_, kParseOptions);
    xmlParseChunk(context_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 1);
    if (!failure_ && !context_->wellFormed) fail("not well-formed XML");
    if (!failure_ && !root_) fail("no property list");
    if (failure_) return refuse(error, *failure_);
    return std::move(*root_);
  }

 private:
  // A dictionary or an array being read, and a dictionary's key that waits
  // for its value.
  struct Container {
    bool dictionary;
    Array items;
    std::vector<Dictionary::Entry> entries;  // made a dictionary at once when it closes
    std::optional<std::string> key;
  };
  struct Open {
    Element element;
    bool level;  // not empty: a level of nesting
  };

  static Parse& of(void* parse) { return *static_cast<Parse*>(parse); }

  static void onStart(void* parse, const xmlChar* name, const xmlChar* prefix, const xmlChar* uri, int, const xmlChar**,
                      int, int, const xmlChar**) {
    of(parse).start(prefix, name, uri != nullptr);
  }
  static void onEnd(void* parse, const xmlChar*, const xmlChar*, const xmlChar*) { of(parse).end(); }
  static void onText(void* parse, const xmlChar* text, int length) {
    of(parse).text(std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)));
  }
  static void onReference(void* parse, const xmlChar* name) {
    of(parse).fail(joined({"reference to entity \"", excerpt(reinterpret_cast<const char*>(name)), "\""}));
  }
  static void onEntityDeclaration(void* parse, const xmlChar* name, int, const xmlChar*, const xmlChar*, xmlChar*) {
    of(parse).fail(joined({"declaration of entity \"", excerpt(reinterpret_cast<const char*>(name)), "\""}));
  }
  static void onError(void* parse, xmlErrorPtr error) {
    if (!error || error->level < XML_ERR_FATAL) return;
    std::string message = error->message ? error->message : "XML error";
    while (!message.empty() && isXmlSpace(message.back())) message.pop_back();
    of(parse).failAt(message, error->line);
  }

  void start(const xmlChar* prefix, const xmlChar* name, bool namespaced) {
    if (failure_) return;
    // The parser stands at the end of the start tag: "/>" closes an empty element.
    const bool empty = context_->input && context_->input->cur && context_->input->cur[0] == '/';
    if (++elements_ > limits_.maxNodes) return fail("too many elements");
    if (!empty && ++depth_ > limits_.maxDepth) return fail("nested too deeply");
    const Element element = prefix || namespaced ? Element::Unknown : elementNamed(name);
    const auto tag = [&] {
      const char* qualifier = prefix ? reinterpret_cast<const char*>(prefix) : "";
      return joined({"<", excerpt(joined({qualifier, prefix ? ":" : "", reinterpret_cast<const char*>(name)})), ">"});
    };
    if (leaf_) return fail(joined({"element ", tag(), " inside a value"}));
    if (element == Element::Unknown) return fail(joined({"unknown element ", tag()}));
    if (element == Element::Plist) {
      if (!open_.empty()) return fail("element <plist> inside a value");
    } else if (element == Element::Key) {
      if (containers_.empty() || !containers_.back().dictionary) return fail("key outside a dictionary");
      if (containers_.back().key) return fail("key without a value");
    } else if (containers_.empty()) {
      if (root_) return fail("more than one value in the property list");
    } else if (containers_.back().dictionary && !containers_.back().key) {
      return fail("value without a key");
    }
    open_.push_back(Open{element, !empty});
    if (element == Element::Array || element == Element::Dict) {
      containers_.push_back(Container{element == Element::Dict, {}, {}, std::nullopt});
    } else if (element != Element::Plist) {
      leaf_ = element;
      text_.clear();
    }
  }

  void end() {
    if (failure_ || open_.empty()) return;
    const Open closed = open_.back();
    open_.pop_back();
    if (closed.level) --depth_;
    switch (closed.element) {
      case Element::Plist:
        if (!root_) fail("property list without a value");
        return;
      case Element::Array:
      case Element::Dict: {
        Container container = std::move(containers_.back());
        containers_.pop_back();
        if (container.key) return fail(joined({"key \"", excerpt(*container.key), "\" without a value"}));
        return take(container.dictionary ? Value(Dictionary(std::move(container.entries)))
                                         : Value(std::move(container.items)));
      }
      case Element::Key:
        leaf_.reset();
        containers_.back().key = std::move(text_);
        return;
      default:
        break;
    }
    const Element leaf = *leaf_;
    leaf_.reset();
    if (auto value = scalar(leaf)) take(std::move(*value));
  }

  void text(std::string_view text) {
    if (failure_) return;
    if (leaf_) {
      text_.append(text);
    } else if (!isBlank(text)) {
      fail(joined({"text \"", excerpt(text), "\" outside a value"}));
    }
  }

  // The value of a leaf element, from its text; nullopt once refused.
  std::optional<Value> scalar(Element element) {
    const auto refuse = [&](std::string_view kind, std::string_view expected) -> std::optional<Value> {
      fail(joined({kind, " \"", excerpt(text_), "\" is not ", expected}));
      return std::nullopt;
    };
    switch (element) {
      case Element::String:
        return Value(std::move(text_));
      case Element::Integer:
        if (auto number = PlistScalarText::integerOf(text_)) return Value(*number);
        return refuse("integer", "a decimal or 0x hexadecimal integer from -2^63 to 2^64-1");
      case Element::Real:
        if (auto number = PlistScalarText::realOf(text_)) return Value(*number);
        return refuse("real", "a decimal number, infinity or NaN within a double's range");
      case Element::Date:
        if (auto date = PlistScalarText::dateOf(text_)) return Value(*date);
        return refuse("date", "a date of the years 1 to 9999 as YYYY-MM-DDTHH:MM:SSZ");
      case Element::True:
      case Element::False:
        if (!isBlank(text_)) return refuse("boolean content", "empty");
        return Value(element == Element::True);
      default: {  // data: base64 in lines
        std::string packed;
        packed.reserve(text_.size());
        for (const char c : text_) {
          if (!isXmlSpace(c)) packed.push_back(c);
        }
        if (auto bytes = Base64::decode(packed)) return Value(std::move(*bytes));
        return refuse("data", "base64");
      }
    }
  }

  void take(Value value) {
    if (containers_.empty()) {
      root_ = std::move(value);
      return;
    }
    Container& into = containers_.back();
    if (into.dictionary) {
      // A key given twice keeps its first place and its last value.
      into.entries.emplace_back(std::move(*into.key), std::move(value));
      into.key.reset();
    } else {
      into.items.push_back(std::move(value));
    }
  }

  void fail(const std::string& reason) { failAt(reason, xmlSAX2GetLineNumber(context_)); }

  void failAt(const std::string& reason, int line) {
    if (failure_) return;
    failure_ = line > 0 ? joined({reason, " at line ", std::to_string(line)}) : reason;
    xmlStopParser(context_);
  }

  static Value refuse(ErrorPtr* error, const std::string& reason) {
    if (error) *error = PropertyList::corruptError(reason);
    return Value();
  }

  const PropertyListLimits& limits_;
  xmlParserCtxtPtr context_ = nullptr;
  std::size_t elements_ = 0;
  std::size_t depth_ = 0;
  std::vector<Open> open_;
  std::vector<Container> containers_;
  std::optional<Element> leaf_;
  std::string text_;
  std::optional<Value> root_;
  std::optional<std::string> failure_;
};

}  // namespace

Value PlistXmlReader::read(std::span<const std::uint8_t> bytes, const PropertyListLimits& limits, ErrorPtr* error) {
  if (bytes.empty()) {
    if (error) *error = PropertyList::corruptError("no property list: no bytes");
    return Value();
  }
  if (bytes.size() > limits.maxBytes || bytes.size() > INT_MAX) {
    if (error) *error = PropertyList::corruptError("property list too large");
    return Value();
  }
  return Parse(limits).run(bytes, error);
}

}  // namespace platform
