#pragma once

#include <libxml/xpath.h>

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "DQXMLFunctions.h"
#include "DQXMLNode.h"

class DQXMLElement;

// A parsed XML document: the wrapper that owns a libxml2 document record.
// It answers XPath queries with the namespaces its root element declares and
// serialises itself. It is also the result class of NEXA operations, made
// from a response body with documentWithData.
//
// Parsing keeps internal entities substituted, default attributes of the
// internal subset and ignorable blanks dropped, but never loads anything from
// outside: no network, no external entity, no external DTD subset. The
// refusing entity loader is libxml2's process-wide one, installed on the
// first parse; this library is the process's only libxml2 user.
// libxml2's messages about a document (a malformed or invalid one, a
// failed query or edit) go to the library's log, never to standard error or
// to handlers the application installed.
//
// Threads: the document and its wrappers are used by one thread at a time;
// different documents may be used on different threads.
class DQXMLDocument : public DQXMLNode {
 public:
  explicit DQXMLDocument(const Passkey& key) : DQXMLNode(key) {}
  ~DQXMLDocument() override;

  static std::string_view XMLErrorDomain() { return kDQXMLErrorDomain; }

  // Parses a document. Empty data fails with the XML error of code 0 and no
  // user info; a parse failure with libxml2's error (code, message,
  // "severity").
  static std::shared_ptr<DQXMLDocument> documentWithData(std::span<const std::uint8_t> data,
                                                         platform::ErrorPtr* error);
  // The same for a subclass, whose replacement classes then wrap the records.
  template <std::derived_from<DQXMLDocument> T>
  static std::shared_ptr<T> documentWithData(std::span<const std::uint8_t> data, platform::ErrorPtr* error) {
    return std::static_pointer_cast<T>(parse(data, classOf<T>(), error));
  }

  std::string className() const override;

  // A document is never part of a tree: both do nothing.
  void remove() override {}
  void detach() override {}

  // The XPath context, made on first use with the root element's namespace
  // declarations registered in order and kept for the document's life.
  // nullptr when a declaration cannot be registered (a default namespace):
  // that is logged, and the next call tries again.
  xmlXPathContextPtr XPathContext();

  std::shared_ptr<DQXMLElement> rootElement() const;
  // XMLString as UTF-8 bytes, and their Base64 (RFC 4648, padded, one line).
  std::optional<platform::Data> XMLData() const;
  std::optional<std::string> base64EncodedStringRepresentation() const;

  // Appends a new empty element to `parent` and returns its wrapper. "p:name"
  // takes the namespace bound to p in scope of the parent (none when p is
  // unbound); nullptr for a name with more than one colon, an empty local
  // name or a parent without record.
  std::shared_ptr<DQXMLElement> addElementWithFullName(std::string_view name,
                                                       const std::shared_ptr<DQXMLElement>& parent);

  // A subclass names the class that wraps the records of a qualified name
  // (an element's class must derive from DQXMLElement); nullptr keeps the
  // default. Called on the document's thread whenever a record gets its
  // first wrapper.
  virtual Class replacementClassForNodeName(std::string_view qualifiedName) const {
    (void)qualifiedName;
    return nullptr;
  }

 private:
  static DQXMLNodePtr parse(std::span<const std::uint8_t> data, Class cls, platform::ErrorPtr* error);

  xmlXPathContextPtr context_ = nullptr;
};
