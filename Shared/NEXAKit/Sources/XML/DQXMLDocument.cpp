#include "DQXMLDocument.h"

#include <libxml/parser.h>
#include <libxml/xpathInternals.h>

#include <climits>

#include "Text/Base64.h"
#include "DQLog.h"
#include "DQXMLElement.h"
#include "DQXMLMessageScope.h"

namespace {

// Entities substituted, default attributes from the DTD, blank text dropped
// (266), and nothing fetched from the network. The options keep libxml2's
// own reporting quiet only in part: its messages are routed by a
// DQXMLMessageScope.
constexpr int kParseOptions =
    XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NOBLANKS | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Documents come from printers over plain HTTP: no external entity or DTD
// subset is ever loaded, from the network or from local files. Called by
// libxml2 on the parsing thread.
xmlParserInputPtr refuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

void prepareLibxml() {
  static const bool prepared = [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(refuseExternalEntity);
    return true;
  }();
  (void)prepared;
}

// XPath errors stay in the context's last-error record instead of going to
// standard error. Called on the evaluating thread.
void keepXPathError(void*, xmlErrorPtr) {}

}  // namespace

DQXMLDocument::~DQXMLDocument() {
  if (context_) xmlXPathFreeContext(context_);
}

std::string DQXMLDocument::className() const { return "com.zarn.NEXAKit.Tolvek.DQXMLDocument"; }

std::shared_ptr<DQXMLDocument> DQXMLDocument::documentWithData(std::span<const std::uint8_t> data,
                                                               platform::ErrorPtr* error) {
  return std::static_pointer_cast<DQXMLDocument>(parse(data, classOf<DQXMLDocument>(), error));
}

DQXMLNodePtr DQXMLDocument::parse(std::span<const std::uint8_t> data, Class cls, platform::ErrorPtr* error) {
  if (data.empty()) {
    if (error) *error = platform::Error::make(kDQXMLErrorDomain, 0);
    return nullptr;
  }
  if (data.size() > INT_MAX) {
    if (error) *error = platform::Error::make(kDQXMLErrorDomain, XML_ERR_INTERNAL_ERROR);
    return nullptr;
  }
  prepareLibxml();
  DQXMLMessageScope messages;
  xmlResetLastError();
  xmlDocPtr record = xmlReadMemory(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()), nullptr,
                                   nullptr, kParseOptions);
  if (!record) {
    if (error) {
      *error = com_zarn_NEXAKit_TolvekDQXMLGetError();
      if (!*error) *error = platform::Error::make(kDQXMLErrorDomain, XML_ERR_INTERNAL_ERROR);
    }
    return nullptr;
  }
  auto document = wrap(reinterpret_cast<xmlNodePtr>(record), cls);
  document->setDetached(true);
  return document;
}

xmlXPathContextPtr DQXMLDocument::XPathContext() {
  if (context_ || !impl()) return context_;
  auto* record = reinterpret_cast<xmlDocPtr>(impl());
  DQXMLMessageScope messages;
  xmlXPathContextPtr context = xmlXPathNewContext(record);
  if (!context) return nullptr;
  context->error = keepXPathError;
  if (xmlNodePtr root = xmlDocGetRootElement(record)) {
    for (xmlNsPtr ns = root->nsDef; ns; ns = ns->next) {
      if (xmlXPathRegisterNs(context, ns->prefix, ns->href) != 0) {
        auto text = [](const xmlChar* s) { return s ? reinterpret_cast<const char*>(s) : "(null)"; };
        com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "Unable to register a namespace with prefix=%sand href=%s\n",
                                     text(ns->prefix), text(ns->href));
        xmlXPathFreeContext(context);
        return nullptr;
      }
    }
  }
  context_ = context;
  return context_;
}

std::shared_ptr<DQXMLElement> DQXMLDocument::rootElement() const {
  if (!impl()) return nullptr;
  return std::dynamic_pointer_cast<DQXMLElement>(nodeWithImpl(xmlDocGetRootElement(reinterpret_cast<xmlDocPtr>(impl()))));
}

std::optional<platform::Data> DQXMLDocument::XMLData() const { return serialisedBytes(); }

std::optional<std::string> DQXMLDocument::base64EncodedStringRepresentation() const {
  auto data = XMLData();
  if (!data) return std::nullopt;
  return platform::Base64::encode(*data);
}

std::shared_ptr<DQXMLElement> DQXMLDocument::addElementWithFullName(std::string_view name,
                                                                    const std::shared_ptr<DQXMLElement>& parent) {
  if (!impl() || !parent || !parent->impl() || parent->impl()->type != XML_ELEMENT_NODE) return nullptr;
  std::string_view localName = name;
  std::optional<std::string_view> prefix;
  if (std::size_t colon = name.find(':'); colon != std::string_view::npos) {
    if (name.find(':', colon + 1) != std::string_view::npos) return nullptr;
    prefix = name.substr(0, colon);
    localName = name.substr(colon + 1);
  }
  if (localName.empty()) return nullptr;
  xmlNsPtr ns = nullptr;
  if (prefix) {
    const std::string terminated(*prefix);
    ns = xmlSearchNs(reinterpret_cast<xmlDocPtr>(impl()), parent->impl(),
                     reinterpret_cast<const xmlChar*>(terminated.c_str()));
  }
  // Not xmlNewChild: without a namespace it would take the parent's.
  const std::string terminated(localName);
  xmlNodePtr record = xmlNewDocNode(parent->impl()->doc, ns, reinterpret_cast<const xmlChar*>(terminated.c_str()), nullptr);
  if (!record) return nullptr;
  if (!xmlAddChild(parent->impl(), record)) {
    xmlFreeNode(record);
    return nullptr;
  }
  return std::dynamic_pointer_cast<DQXMLElement>(nodeWithImpl(record));
}
