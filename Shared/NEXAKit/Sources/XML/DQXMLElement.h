#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DQXMLNode.h"

// The wrapper of an element record: element children and attributes. Its
// queries answer empty for a shell or a record that is not an element.
// Threads: as DQXMLNode, one thread at a time per document.
class DQXMLElement : public DQXMLNode {
 public:
  explicit DQXMLElement(const Passkey& key) : DQXMLNode(key) {}

  std::string className() const override;

  // stringValue of attributeForName / attributeForLocalName, read without
  // making a wrapper.
  std::optional<std::string> valueOfAttributeForName(std::string_view name) const;
  std::optional<std::string> valueOfAttributeForLocalName(std::string_view localName,
                                                          std::optional<std::string_view> URI) const;

  // The element children in document order.
  std::vector<std::shared_ptr<DQXMLElement>> elements() const;
  // The element children whose local name is `localName`, byte for byte,
  // whatever their namespace.
  std::vector<std::shared_ptr<DQXMLElement>> elementsForLocalName(std::string_view localName) const;
  std::shared_ptr<DQXMLElement> elementForLocalName(std::string_view localName) const;

  // The attribute of a qualified name: a prefix is resolved among the
  // namespaces in scope of this element (nullptr when it is unbound).
  DQXMLNodePtr attributeForName(std::string_view name) const;
  // The attribute of a local name in a namespace; without URI, only an
  // attribute without namespace matches.
  DQXMLNodePtr attributeForLocalName(std::string_view localName, std::optional<std::string_view> URI) const;

 private:
  xmlNodePtr attributeRecordForName(std::string_view name) const;
  xmlNodePtr attributeRecordForLocalName(std::string_view localName, std::optional<std::string_view> URI) const;
  // Element children, all or of one local name.
  std::vector<std::shared_ptr<DQXMLElement>> elementChildren(const std::optional<std::string_view>& localName,
                                                             bool firstOnly) const;
};
