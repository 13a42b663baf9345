#include "DQXMLFunctions.h"

#include <atomic>
#include <cstdint>
#include <vector>

#include "DQXMLMessageScope.h"
#include "DQXMLNode.h"

namespace {

// The low bit of a slot marks a weak registration.
constexpr std::uintptr_t kWeakTag = 1;

std::atomic_ref<void*> slotOf(xmlNodePtr record) { return std::atomic_ref<void*>(record->_private); }

bool isWeak(void* value) { return (reinterpret_cast<std::uintptr_t>(value) & kWeakTag) != 0; }

DQXMLNode* wrapperIn(void* value) {
  return reinterpret_cast<DQXMLNode*>(reinterpret_cast<std::uintptr_t>(value) & ~kWeakTag);
}

void* weakly(void* value) { return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(value) | kWeakTag); }

std::optional<std::string> takeString(xmlChar* text) {
  if (!text) return std::nullopt;
  std::string result(reinterpret_cast<const char*>(text));
  xmlFree(text);
  return result;
}

}  // namespace

std::optional<std::string> com_zarn_NEXAKit_TolvekDQXMLNodeGetStringValue(xmlNodePtr record) {
  if (!record) return std::nullopt;
  return takeString(xmlNodeGetContent(record));
}

void com_zarn_NEXAKit_TolvekDQXMLNodeSetStringValue(xmlNodePtr record, const char* content) {
  if (!record) return;
  switch (record->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
      // libxml2 frees the children it replaces.
      com_zarn_NEXAKit_TolvekDQXMLDeregisterChildrenWrappers(record->children);
      break;
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_PI_NODE:
    case XML_COMMENT_NODE:
      break;
    default:
      // An entity reference's children are its entity's declaration, which
      // libxml2 would free; other records ignore new content.
      return;
  }
  DQXMLMessageScope messages;
  xmlNodeSetContent(record, reinterpret_cast<const xmlChar*>(content));
}

std::optional<std::string> com_zarn_NEXAKit_TolvekDQXMLNodeGetQName(xmlNodePtr record) {
  if (!record || !record->name) return std::nullopt;
  std::string name(reinterpret_cast<const char*>(record->name));
  // Only elements and attributes have a namespace field.
  if ((record->type == XML_ELEMENT_NODE || record->type == XML_ATTRIBUTE_NODE) && record->ns &&
      record->ns->prefix) {
    return reinterpret_cast<const char*>(record->ns->prefix) + (':' + name);
  }
  return name;
}

void com_zarn_NEXAKit_TolvekDQXMLNodeSetQName(xmlNodePtr record, std::string_view name) {
  if (!record || name.empty()) return;
  if (record->type != XML_ELEMENT_NODE && record->type != XML_ATTRIBUTE_NODE && record->type != XML_PI_NODE) return;
  std::string terminated(name);
  xmlNodeSetName(record, reinterpret_cast<const xmlChar*>(terminated.c_str()));
}

int com_zarn_NEXAKit_TolvekDQXMLOutputWrite(void* context, const char* bytes, int length) {
  if (!context || length <= 0 || !bytes) return 0;
  auto* data = static_cast<platform::Data*>(context);
  data->insert(data->end(), reinterpret_cast<const std::uint8_t*>(bytes),
               reinterpret_cast<const std::uint8_t*>(bytes) + length);
  return length;
}

platform::ErrorPtr DQXMLErrorFromLibxml(const xmlError* error, const xmlDoc* liveDocument) {
  if (!error || error->code == XML_ERR_OK) return nullptr;
  platform::Dictionary userInfo;
  if (error->message) userInfo.set(platform::Error::kLocalizedDescriptionKey, std::string(error->message));
  userInfo.set("severity", static_cast<int>(error->level));
  auto* node = static_cast<xmlNodePtr>(error->node);
  if (node && liveDocument && node->doc == liveDocument) {
    if (auto wrapper = DQXMLNode::nodeWithImpl(node)) userInfo.set("node", wrapper);
  }
  return platform::Error::make(kDQXMLErrorDomain, error->code, std::move(userInfo));
}

platform::ErrorPtr com_zarn_NEXAKit_TolvekDQXMLGetError(const xmlDoc* liveDocument) {
  return DQXMLErrorFromLibxml(xmlGetLastError(), liveDocument);
}

DQXMLNode* com_zarn_NEXAKit_TolvekDQXMLGetNodeWrapper(xmlNodePtr record) {
  if (!record) return nullptr;
  return wrapperIn(slotOf(record).load(std::memory_order_acquire));
}

DQXMLNode* com_zarn_NEXAKit_TolvekDQXMLGetDocumentWrapper(xmlDocPtr record) {
  return com_zarn_NEXAKit_TolvekDQXMLGetNodeWrapper(reinterpret_cast<xmlNodePtr>(record));
}

void com_zarn_NEXAKit_TolvekDQXMLNodeRegisterWrapper(xmlNodePtr record, DQXMLNode* wrapper) {
  if (!record || !wrapper) return;
  auto slot = slotOf(record);
  void* current = slot.load(std::memory_order_acquire);
  if (current == wrapper) return;
  auto reference = std::static_pointer_cast<DQXMLNode>(wrapper->weak_from_this().lock());
  if (!reference) return;
  // A failed swap leaves the slot as the other writer set it; our reference
  // is dropped again.
  if (!slot.compare_exchange_strong(current, wrapper, std::memory_order_acq_rel)) return;
  DQXMLNodePtr previous;
  if (current && !isWeak(current)) previous = std::move(wrapperIn(current)->recordReference_);
  wrapper->recordReference_ = std::move(reference);
}

void com_zarn_NEXAKit_TolvekDQXMLNodeDeregisterWrapper(xmlNodePtr record) {
  if (!record) return;
  auto slot = slotOf(record);
  void* current = slot.load(std::memory_order_acquire);
  if (!current || isWeak(current)) return;
  if (!slot.compare_exchange_strong(current, weakly(current), std::memory_order_acq_rel)) return;
  // Released last: this may destroy the wrapper.
  DQXMLNodePtr released = std::move(wrapperIn(current)->recordReference_);
}

void com_zarn_NEXAKit_TolvekDQXMLDeregisterChildrenWrappers(xmlNodePtr first) {
  // A work list of sibling lists still to walk, so that deep trees need no
  // deep recursion.
  std::vector<xmlNodePtr> pending;
  xmlNodePtr record = first;
  while (record || !pending.empty()) {
    if (!record) {
      record = pending.back();
      pending.pop_back();
    }
    DQXMLForgetWrapper(record);
    if (record->type == XML_ELEMENT_NODE && record->properties) {
      pending.push_back(reinterpret_cast<xmlNodePtr>(record->properties));
    }
    if (xmlNodePtr child = DQXMLFirstChild(record)) {
      if (record->next) pending.push_back(record->next);
      record = child;
    } else {
      record = record->next;
    }
  }
}

void DQXMLForgetWrapper(xmlNodePtr record) {
  void* value = slotOf(record).exchange(nullptr, std::memory_order_acq_rel);
  if (!value) return;
  DQXMLNode* wrapper = wrapperIn(value);
  wrapper->impl_ = nullptr;
  // May destroy the wrapper, which no longer has a record to touch.
  DQXMLNodePtr released = std::move(wrapper->recordReference_);
}

void DQXMLClearWrapper(xmlNodePtr record, const DQXMLNode* wrapper) {
  auto slot = slotOf(record);
  void* value = slot.load(std::memory_order_acquire);
  if (value && wrapperIn(value) == wrapper) slot.compare_exchange_strong(value, nullptr, std::memory_order_acq_rel);
}

void DQXMLMoveWrapper(xmlNodePtr from, xmlNodePtr to) {
  slotOf(to).store(slotOf(from).exchange(nullptr, std::memory_order_acq_rel), std::memory_order_release);
}

void DQXMLDeregisterDescendantWrappers(xmlNodePtr record) {
  if (!record) return;
  if (record->type == XML_ELEMENT_NODE) {
    com_zarn_NEXAKit_TolvekDQXMLDeregisterChildrenWrappers(reinterpret_cast<xmlNodePtr>(record->properties));
  }
  com_zarn_NEXAKit_TolvekDQXMLDeregisterChildrenWrappers(DQXMLFirstChild(record));
}

bool com_zarn_NEXAKit_TolvekDQXMLNodeHasAttributes(xmlNodePtr record) {
  return record && record->type == XML_ELEMENT_NODE && record->properties;
}

bool com_zarn_NEXAKit_TolvekDQXMLNodeHasChildElements(xmlNodePtr record) {
  if (!record) return false;
  for (xmlNodePtr child = DQXMLFirstChild(record); child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE && (child->children || child->properties)) return true;
  }
  return false;
}

bool DQXMLIsTreeRecord(const xmlNode* record) {
  switch (record->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_ENTITY_REF_NODE:
    case XML_PI_NODE:
    case XML_COMMENT_NODE:
      return true;
    default:
      return false;
  }
}

xmlNodePtr DQXMLCopyTreeRecord(xmlNodePtr record) {
  if (!DQXMLIsTreeRecord(record)) return nullptr;
  DQXMLMessageScope messages;
  if (record->type != XML_ATTRIBUTE_NODE) return xmlCopyNode(record, 1);
  // libxml2 gives a copied attribute the document of its original, names
  // from that document's dictionary included, so the copy would still point
  // into the document after it is freed. The attribute is copied by hand, as
  // libxml2 copies one without a target: no namespace.
  xmlAttrPtr copy = xmlNewDocProp(nullptr, record->name, nullptr);
  if (!copy || !record->children) return reinterpret_cast<xmlNodePtr>(copy);
  copy->children = xmlDocCopyNodeList(nullptr, record->children);
  if (!copy->children) {
    xmlFreeProp(copy);
    return nullptr;
  }
  for (xmlNodePtr child = copy->children; child; child = child->next) {
    child->parent = reinterpret_cast<xmlNodePtr>(copy);
    copy->last = child;
  }
  return reinterpret_cast<xmlNodePtr>(copy);
}
