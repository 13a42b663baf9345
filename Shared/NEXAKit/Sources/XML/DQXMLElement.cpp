#include "DQXMLElement.h"

#include <cstring>

#include "DQXMLFunctions.h"

std::string DQXMLElement::className() const { return "com.zarn.NEXAKit.Tolvek.DQXMLElement"; }

std::optional<std::string> DQXMLElement::valueOfAttributeForName(std::string_view name) const {
  return stringValueOfRecord(attributeRecordForName(name));
}

std::optional<std::string> DQXMLElement::valueOfAttributeForLocalName(std::string_view localName,
                                                                     std::optional<std::string_view> URI) const {
  return stringValueOfRecord(attributeRecordForLocalName(localName, URI));
}

std::vector<std::shared_ptr<DQXMLElement>> DQXMLElement::elements() const { return elementChildren(std::nullopt, false); }

std::vector<std::shared_ptr<DQXMLElement>> DQXMLElement::elementsForLocalName(std::string_view localName) const {
  return elementChildren(localName, false);
}

std::shared_ptr<DQXMLElement> DQXMLElement::elementForLocalName(std::string_view localName) const {
  auto found = elementChildren(localName, true);
  return found.empty() ? nullptr : found.front();
}

DQXMLNodePtr DQXMLElement::attributeForName(std::string_view name) const {
  return nodeWithImpl(attributeRecordForName(name));
}

DQXMLNodePtr DQXMLElement::attributeForLocalName(std::string_view localName,
                                                 std::optional<std::string_view> URI) const {
  return nodeWithImpl(attributeRecordForLocalName(localName, URI));
}

xmlNodePtr DQXMLElement::attributeRecordForName(std::string_view name) const {
  xmlNodePtr record = impl();
  if (!record || record->type != XML_ELEMENT_NODE) return nullptr;
  std::optional<std::string> URI;
  if (auto prefix = prefixForName(name)) {
    const std::string terminated(*prefix);
    xmlNsPtr ns = xmlSearchNs(record->doc, record, reinterpret_cast<const xmlChar*>(terminated.c_str()));
    if (!ns) return nullptr;
    if (ns->href) URI = reinterpret_cast<const char*>(ns->href);
  }
  return attributeRecordForLocalName(localNameForName(name), URI);
}

xmlNodePtr DQXMLElement::attributeRecordForLocalName(std::string_view localName,
                                                     std::optional<std::string_view> URI) const {
  xmlNodePtr record = impl();
  if (!record || record->type != XML_ELEMENT_NODE) return nullptr;
  const std::string name(localName);
  const std::optional<std::string> href(URI);
  xmlAttrPtr attribute = xmlHasNsProp(record, reinterpret_cast<const xmlChar*>(name.c_str()),
                                      href ? reinterpret_cast<const xmlChar*>(href->c_str()) : nullptr);
  return reinterpret_cast<xmlNodePtr>(attribute);
}

std::vector<std::shared_ptr<DQXMLElement>> DQXMLElement::elementChildren(const std::optional<std::string_view>& localName,
                                                                         bool firstOnly) const {
  std::vector<std::shared_ptr<DQXMLElement>> found;
  xmlNodePtr record = impl();
  if (!record || record->type != XML_ELEMENT_NODE) return found;
  for (xmlNodePtr child = record->children; child; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    if (localName) {
      const char* name = reinterpret_cast<const char*>(child->name);
      if (!name || std::strlen(name) != localName->size() || std::memcmp(name, localName->data(), localName->size()) != 0) {
        continue;
      }
    }
    // A document may wrap elements in its own classes; they derive from this one.
    if (auto element = std::dynamic_pointer_cast<DQXMLElement>(nodeWithImpl(child))) {
      found.push_back(std::move(element));
      if (firstOnly) break;
    }
  }
  return found;
}
