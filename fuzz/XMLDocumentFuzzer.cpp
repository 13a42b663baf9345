// Parses arbitrary bytes as a printer document, then queries, walks, edits
// and serialises it, so that the wrappers' life cycle runs under the
// sanitizers on whatever the parser accepts.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "DQXMLDocument.h"
#include "DQXMLElement.h"

namespace {

// Reads everything a node answers, without looking at the results.
void read(const DQXMLNodePtr& node) {
  (void)node->name();
  (void)node->localName();
  (void)node->stringValue();
  (void)node->boolValue();
  (void)node->dataValue();
  (void)node->XPath();
  (void)node->parent();
  (void)node->childCount();
  (void)node->hash();
  if (auto element = std::dynamic_pointer_cast<DQXMLElement>(node)) {
    (void)element->elements();
    (void)element->valueOfAttributeForName("dd:id");
    (void)element->attributeForLocalName("id", std::nullopt);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  platform::ErrorPtr error;
  auto document = DQXMLDocument::documentWithData(std::span(bytes, size), &error);
  if (!document) return 0;

  // The whole tree, DTD and declarations included, up to a bound.
  std::deque<DQXMLNodePtr> pending{document};
  for (int visited = 0; !pending.empty() && visited < 2000; ++visited) {
    auto node = pending.front();
    pending.pop_front();
    read(node);
    for (auto& child : node->children()) pending.push_back(std::move(child));
  }

  for (const char* expression : {"//*", "//@*", "//namespace::*", "//text()", "/*/*[1]", "count(//*)",
                                 "//comment() | //processing-instruction()", "//*[@*][2]/.."}) {
    for (const auto& node : document->nodesForXPath(expression, &error)) read(node);
  }

  // Edits: move an element, remove another, rewrite attribute and text.
  auto root = document->rootElement();
  auto elements = document->nodesForXPath("//*", nullptr);
  if (root && elements.size() > 2) {
    elements[1]->detach();
    root->addChild(elements[1]);
    elements.back()->remove();
    read(elements.back());
  }
  if (auto attribute = document->nodeForXPath("//@*")) attribute->setStringValue("a&b<c");
  if (auto text = document->nodeForXPath("//text()")) text->setStringValue("\\x41&lt;");
  if (root) {
    auto copy = std::static_pointer_cast<DQXMLNode>(root->copy());
    if (copy) (void)copy->XMLString();
    (void)document->addElementWithFullName("dd:Added", root);
  }

  auto data = document->XMLData();
  if (data) (void)DQXMLDocument::documentWithData(*data, nullptr);
  (void)document->base64EncodedStringRepresentation();

  // Wrappers that outlive their document: shells of its records, and
  // free-standing copies that must not point into it.
  std::vector<DQXMLNodePtr> survivors = std::move(elements);
  if (auto attribute = document->nodeForXPath("//@*")) {
    survivors.push_back(std::static_pointer_cast<DQXMLNode>(attribute->copy()));
    attribute->detach();
    survivors.push_back(attribute);
  }
  document.reset();
  for (const auto& node : survivors) {
    if (!node) continue;
    read(node);
    (void)node->XMLString();
  }
  return 0;
}
