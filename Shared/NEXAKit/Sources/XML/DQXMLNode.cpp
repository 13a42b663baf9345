#include "DQXMLNode.h"

#include <glib.h>
#include <libxml/xpath.h>

#include <cstdio>
#include <functional>

#include "DQLog.h"
#include "DQXMLDocument.h"
#include "DQXMLElement.h"
#include "DQXMLEntities.h"
#include "DQXMLFunctions.h"
#include "DQXMLMessageScope.h"

namespace {

// %@ of a possibly missing string, as the platform prints nil.
std::string describe(const std::optional<std::string>& text) { return text ? *text : "(null)"; }

bool isDocument(const xmlNode* record) {
  return record->type == XML_DOCUMENT_NODE || record->type == XML_HTML_DOCUMENT_NODE;
}

}  // namespace

DQXMLNode::~DQXMLNode() {
  if (!impl_) return;
  // The record holds no reference here (else this wrapper would be alive):
  // its slot is weak or names another wrapper.
  DQXMLClearWrapper(impl_, this);
  if (!detached_ || impl_->parent) return;
  if (isDocument(impl_)) {
    DQXMLDeregisterDescendantWrappers(impl_);
    xmlFreeDoc(reinterpret_cast<xmlDocPtr>(impl_));
  } else if (DQXMLIsTreeRecord(impl_)) {
    DQXMLDeregisterDescendantWrappers(impl_);
    xmlFreeNode(impl_);
  }
}

std::string DQXMLNode::className() const { return "com.zarn.NEXAKit.Tolvek.DQXMLNode"; }

bool DQXMLNode::isEqual(const Object& other) const {
  if (this == &other) return true;
  const auto* node = dynamic_cast<const DQXMLNode*>(&other);
  return node && impl_ && node->impl_ == impl_ && node->detached_ == detached_;
}

std::size_t DQXMLNode::hash() const { return std::hash<std::string>{}(name().value_or(std::string())); }

std::string DQXMLNode::description() const { return describe(XMLString()); }

std::shared_ptr<platform::Object> DQXMLNode::copy() const {
  if (!impl_) return nullptr;
  DQXMLMessageScope messages;
  xmlNodePtr record = nullptr;
  if (isDocument(impl_)) {
    record = reinterpret_cast<xmlNodePtr>(xmlCopyDoc(reinterpret_cast<xmlDocPtr>(impl_), 1));
  } else {
    record = DQXMLCopyTreeRecord(impl_);
  }
  if (!record) return nullptr;
  auto wrapper = wrap(record, class_ ? class_ : classForNode(record));
  wrapper->setDetached(true);
  return wrapper;
}

void DQXMLNode::setDetached(bool detached) {
  // Deregistering may drop the last reference but the caller's.
  auto self = weak_from_this().lock();
  if (detached && !detached_ && impl_) com_zarn_NEXAKit_TolvekDQXMLNodeDeregisterWrapper(impl_);
  detached_ = detached;
}

std::optional<std::string> DQXMLNode::name() const { return com_zarn_NEXAKit_TolvekDQXMLNodeGetQName(impl_); }

void DQXMLNode::setName(std::string_view name) { com_zarn_NEXAKit_TolvekDQXMLNodeSetQName(impl_, name); }

std::optional<std::string> DQXMLNode::stringValue() const { return stringValueOfRecord(impl_); }

std::optional<std::string> DQXMLNode::stringValueOfRecord(xmlNodePtr record) {
  auto content = com_zarn_NEXAKit_TolvekDQXMLNodeGetStringValue(record);
  // Printers that escape twice are read as they mean it: references left in
  // the content are replaced once more.
  if (!content || content->find('&') == std::string::npos) return content;
  if (auto unescaped = DQXMLUnescapeEntities(*content)) return unescaped;
  return content;
}

void DQXMLNode::setStringValue(const std::optional<std::string>& value) {
  if (!impl_) return;
  if (!value) {
    com_zarn_NEXAKit_TolvekDQXMLNodeSetStringValue(impl_, nullptr);
  } else if (impl_->type == XML_ELEMENT_NODE || impl_->type == XML_ATTRIBUTE_NODE) {
    // libxml2 parses references in element and attribute content; escaping
    // first makes it keep the text as given.
    std::string escaped = DQXMLEscapeEntities(*value);
    com_zarn_NEXAKit_TolvekDQXMLNodeSetStringValue(impl_, escaped.c_str());
  } else {
    com_zarn_NEXAKit_TolvekDQXMLNodeSetStringValue(impl_, value->c_str());
  }
}

bool DQXMLNode::boolValue() const {
  auto value = stringValue();
  return value && (g_ascii_strcasecmp(value->c_str(), "y") == 0 || g_ascii_strcasecmp(value->c_str(), "true") == 0);
}

std::optional<platform::Data> DQXMLNode::dataValue() const {
  auto content = com_zarn_NEXAKit_TolvekDQXMLNodeGetStringValue(impl_);
  if (!content) return std::nullopt;
  const std::string& text = *content;
  const std::size_t size = text.size();
  platform::Data bytes;
  bytes.reserve(size);
  std::size_t i = 0;
  while (i < size) {
    if (text[i] == '\\' && i + 1 < size && text[i + 1] == 'x') {
      if (size - i < 3) break;  // a "\x" that ends the content is dropped
      // At most two characters after "\x", as scanf's "%2x" reads them, from
      // a bounded copy so that the scan never reads past the content.
      char digits[3] = {text[i + 2], i + 3 < size ? text[i + 3] : '\0', '\0'};
      unsigned int value = 0;
      if (std::sscanf(digits, "%2x", &value) != 1) value = 0;
      bytes.push_back(static_cast<std::uint8_t>(value));
      i += std::min<std::size_t>(4, size - i);
    } else {
      bytes.push_back(static_cast<std::uint8_t>(text[i]));
      ++i;
    }
  }
  return bytes;
}

std::optional<std::string> DQXMLNode::localName() const {
  if (!impl_ || !impl_->name) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(impl_->name));
}

std::shared_ptr<DQXMLDocument> DQXMLNode::rootDocument() const {
  if (!impl_ || !impl_->doc) return nullptr;
  DQXMLNode* wrapper = com_zarn_NEXAKit_TolvekDQXMLGetDocumentWrapper(impl_->doc);
  if (!wrapper) return nullptr;
  // A document record is only ever wrapped by a document class.
  return std::static_pointer_cast<DQXMLDocument>(wrapper->weak_from_this().lock());
}

DQXMLNodePtr DQXMLNode::parent() const { return impl_ ? nodeWithImpl(impl_->parent) : nullptr; }

std::size_t DQXMLNode::childCount() const {
  std::size_t count = 0;
  if (impl_) {
    for (xmlNodePtr child = DQXMLFirstChild(impl_); child; child = child->next) ++count;
  }
  return count;
}

std::vector<DQXMLNodePtr> DQXMLNode::children() const {
  std::vector<DQXMLNodePtr> nodes;
  if (!impl_) return nodes;
  for (xmlNodePtr child = DQXMLFirstChild(impl_); child; child = child->next) {
    if (auto node = nodeWithImpl(child)) nodes.push_back(std::move(node));
  }
  return nodes;
}

DQXMLNodePtr DQXMLNode::childAtIndex(std::size_t index) const {
  if (!impl_) return nullptr;
  xmlNodePtr child = DQXMLFirstChild(impl_);
  for (; child && index > 0; --index) child = child->next;
  return nodeWithImpl(child);
}

std::optional<std::string> DQXMLNode::XPath() const {
  if (!impl_) return std::nullopt;
  xmlChar* path = xmlGetNodePath(impl_);
  if (!path) return std::nullopt;
  std::string result(reinterpret_cast<const char*>(path));
  xmlFree(path);
  return result;
}

void DQXMLNode::detach() {
  if (!impl_) return;
  // The copy comes first: when it cannot be made (a record that is not part
  // of the tree proper, or libxml2 fails), nothing changes.
  xmlNodePtr old = impl_;
  xmlNodePtr copy = DQXMLCopyTreeRecord(old);
  if (!copy) return;
  auto self = weak_from_this().lock();
  xmlUnlinkNode(old);
  setDetached(true);
  DQXMLDeregisterDescendantWrappers(old);
  DQXMLMoveWrapper(old, copy);
  impl_ = copy;
  xmlFreeNode(old);
}

void DQXMLNode::remove() {
  if (!impl_ || detached_ || !DQXMLIsTreeRecord(impl_)) return;
  auto self = weak_from_this().lock();
  xmlNodePtr old = impl_;
  xmlUnlinkNode(old);
  setDetached(true);
  DQXMLDeregisterDescendantWrappers(old);
  DQXMLForgetWrapper(old);
  impl_ = nullptr;
  xmlFreeNode(old);
}

std::optional<platform::Data> DQXMLNode::serialisedBytes() const {
  if (!impl_) return std::nullopt;
  platform::Data bytes;
  DQXMLMessageScope messages;
  xmlOutputBufferPtr buffer =
      xmlOutputBufferCreateIO(com_zarn_NEXAKit_TolvekDQXMLOutputWrite, nullptr, &bytes, nullptr);
  if (!buffer) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQXMLDocument] - Failed to create output buffer");
    return std::nullopt;
  }
  xmlNodeDumpOutput(buffer, impl_->doc, impl_, 0, 1, nullptr);
  xmlOutputBufferFlush(buffer);
  xmlOutputBufferClose(buffer);
  if (!g_utf8_validate(reinterpret_cast<const char*>(bytes.data()), static_cast<gssize>(bytes.size()), nullptr)) {
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::string> DQXMLNode::XMLString() const {
  auto bytes = serialisedBytes();
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

std::vector<DQXMLNodePtr> DQXMLNode::nodesForXPath(std::string_view expression, platform::ErrorPtr* error) const {
  auto document = rootDocument();
  xmlXPathContextPtr context = document ? document->XPathContext() : nullptr;
  if (!context) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQXMLDocument] - Cannot obtain XPath context for document");
    return {};
  }
  const std::string terminated(expression);
  DQXMLMessageScope messages;
  const xmlNodePtr savedNode = context->node;
  context->node = impl_;
  // Errors of earlier calls must not be taken for this one's.
  xmlResetLastError();
  xmlResetError(&context->lastError);
  xmlXPathObjectPtr result = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(terminated.c_str()), context);
  context->node = savedNode;

  std::vector<DQXMLNodePtr> nodes;
  if (!result) {
    auto failure = DQXMLErrorFromLibxml(&context->lastError, context->doc);
    if (!failure) failure = com_zarn_NEXAKit_TolvekDQXMLGetError(context->doc);
    if (error) *error = failure;
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQXMLDocument] - Failed to retrieve nodes for XPath: %@, error: %@",
                                 expression, failure);
    return nodes;
  }
  if (result->type == XPATH_NODESET && result->nodesetval) {
    const xmlNodeSet* set = result->nodesetval;
    nodes.reserve(static_cast<std::size_t>(set->nodeNr));
    for (int i = 0; i < set->nodeNr; ++i) {
      // Namespace nodes are xmlNs copies, not records: nodeWithImpl skips them.
      if (auto node = nodeWithImpl(set->nodeTab[i])) nodes.push_back(std::move(node));
    }
  }
  xmlXPathFreeObject(result);
  return nodes;
}

DQXMLNodePtr DQXMLNode::nodeForXPath(std::string_view expression) const {
  auto nodes = nodesForXPath(expression, nullptr);
  return nodes.empty() ? nullptr : nodes.front();
}

void DQXMLNode::addChild(const DQXMLNodePtr& node) {
  if (!impl_ || !node || !node->impl_) return;
  xmlNodePtr child = node->impl_;
  if (!node->detached_ || child->parent) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQXMLDocument] - The child <%@> is attached to the tree already",
                                 describe(node->name()));
    return;
  }
  bool acceptable = (impl_->type == XML_ELEMENT_NODE || impl_->type == XML_DOCUMENT_NODE) &&
                    DQXMLIsTreeRecord(child) &&
                    (child->type != XML_ATTRIBUTE_NODE || impl_->type == XML_ELEMENT_NODE);
  // A node that holds this record would become its own ancestor.
  for (xmlNodePtr ancestor = impl_; acceptable && ancestor; ancestor = ancestor->parent) {
    acceptable = ancestor != child;
  }
  if (!acceptable) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQXMLDocument] - Failed to add a new child <%@>",
                                 describe(node->name()));
    return;
  }
  if (child->type == XML_ATTRIBUTE_NODE) {
    // libxml2 frees an attribute of the same name that the new one replaces.
    xmlAttrPtr existing = xmlHasNsProp(impl_, child->name, child->ns ? child->ns->href : nullptr);
    if (existing && existing->type == XML_ATTRIBUTE_NODE && reinterpret_cast<xmlNodePtr>(existing) != child) {
      DQXMLDeregisterDescendantWrappers(reinterpret_cast<xmlNodePtr>(existing));
      DQXMLForgetWrapper(reinterpret_cast<xmlNodePtr>(existing));
    }
  }
  xmlNodePtr added = xmlAddChild(impl_, child);
  if (!added) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQXMLDocument] - Failed to add a new child <%@>",
                                 describe(node->name()));
    return;
  }
  if (added != child) {
    // libxml2 merged the text into its neighbour and freed the record.
    node->impl_ = nullptr;
    return;
  }
  node->detached_ = false;
  com_zarn_NEXAKit_TolvekDQXMLNodeRegisterWrapper(child, node.get());
}

DQXMLNode::Class DQXMLNode::classForNode(xmlNodePtr record) {
  if (!record) return nullptr;
  if (isDocument(record)) return classOf<DQXMLDocument>();
  if (record->doc) {
    if (DQXMLNode* wrapper = com_zarn_NEXAKit_TolvekDQXMLGetDocumentWrapper(record->doc)) {
      const auto* document = static_cast<const DQXMLDocument*>(wrapper);
      if (auto qualifiedName = com_zarn_NEXAKit_TolvekDQXMLNodeGetQName(record)) {
        if (Class replacement = document->replacementClassForNodeName(*qualifiedName)) return replacement;
      }
    }
  }
  return record->type == XML_ELEMENT_NODE ? classOf<DQXMLElement>() : classOf<DQXMLNode>();
}

DQXMLNodePtr DQXMLNode::nodeWithImpl(xmlNodePtr record) {
  if (!record || record->type == XML_NAMESPACE_DECL) return nullptr;
  // Predefined entities belong to no document and are shared by all.
  if (record->type == XML_ENTITY_DECL && !record->doc) return nullptr;
  if (DQXMLNode* existing = com_zarn_NEXAKit_TolvekDQXMLGetNodeWrapper(record)) {
    if (auto node = existing->weak_from_this().lock()) return std::static_pointer_cast<DQXMLNode>(node);
  }
  return wrap(record, classForNode(record));
}

DQXMLNodePtr DQXMLNode::wrap(xmlNodePtr record, Class cls) {
  DQXMLNodePtr wrapper = cls(Passkey());
  wrapper->impl_ = record;
  wrapper->class_ = cls;
  com_zarn_NEXAKit_TolvekDQXMLNodeRegisterWrapper(record, wrapper.get());
  return wrapper;
}

std::shared_ptr<DQXMLElement> DQXMLNode::elementWithName(std::string_view name,
                                                         const std::optional<std::string>& stringValue) {
  if (name.empty()) return nullptr;
  const std::string terminated(name);
  xmlNodePtr record = xmlNewNode(nullptr, reinterpret_cast<const xmlChar*>(terminated.c_str()));
  if (!record) return nullptr;
  auto element = std::static_pointer_cast<DQXMLElement>(wrap(record, classOf<DQXMLElement>()));
  element->setDetached(true);
  if (stringValue) element->setStringValue(stringValue);
  return element;
}

std::optional<std::string_view> DQXMLNode::prefixForName(std::string_view name) {
  std::size_t colon = name.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return name.substr(0, colon);
}

std::string_view DQXMLNode::localNameForName(std::string_view name) {
  std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}
