#include "DQXMLEntities.h"
#include "DQXMLFunctions.h"
#include "XMLTestSupport.h"

namespace {

std::shared_ptr<DQXMLElement> element(const DQXMLNodePtr& node) { return std::dynamic_pointer_cast<DQXMLElement>(node); }

TEST(XMLEntitiesTest, EscapesAndUnescapes) {
  EXPECT_EQ(DQXMLEscapeEntities("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
  EXPECT_EQ(DQXMLUnescapeEntities("&lt;&#65;&#x42;&#xe9;&unknown;&apos;"), "<AB\xC3\xA9&unknown;'");
  EXPECT_EQ(DQXMLUnescapeEntities("no references"), "no references");
  for (auto malformed : {"a & b", "&#;", "&#x;", "&#12a;", "&#0;", "&#xD800;", "&#x110000;", "&#99999999999;"}) {
    EXPECT_FALSE(DQXMLUnescapeEntities(malformed)) << malformed;
  }
}

TEST_F(XMLTest, TypedValuesReadTheContentAsPrintersWriteIt) {
  for (auto [text, expected] : std::vector<std::pair<const char*, bool>>{
           {"y", true}, {"TrUe", true}, {"yes", false}, {"1", false}, {"", false}}) {
    EXPECT_EQ(DQXMLNode::elementWithName("b", text)->boolValue(), expected) << text;
  }
  auto data = [](const char* text) {
    return DQXMLNode::elementWithName("d", text)->dataValue().value_or(platform::Data{9, 9, 9});
  };
  EXPECT_EQ(data("A\\x41B"), (platform::Data{'A', 'A', 'B'}));
  EXPECT_EQ(data("ab\\x"), (platform::Data{'a', 'b'}));
  EXPECT_EQ(data("\\q"), (platform::Data{'\\', 'q'}));
  EXPECT_EQ(data("\\x4"), (platform::Data{4}));             // three bytes: one digit, no overrun
  EXPECT_EQ(data("\\xzz!"), (platform::Data{0, '!'}));      // nothing converts: 0
  EXPECT_EQ(DQXMLNode::elementWithName("d")->dataValue(), platform::Data{});
}

TEST_F(XMLTest, StringValuesAreStoredAsGivenInEveryKindOfRecord) {
  auto document = parse("<r a='1'>text<!--note--><![CDATA[raw]]></r>");
  auto root = document->rootElement();
  auto text = root->childAtIndex(0);
  auto attribute = root->attributeForName("a");
  for (const auto& node : {text, root->childAtIndex(1), root->childAtIndex(2), attribute}) node->setStringValue("x<y&z");
  EXPECT_EQ(root->XMLString(), "<r a=\"x&lt;y&amp;z\">x&lt;y&amp;z<!--x<y&z--><![CDATA[x<y&z]]></r>");
  // Printers may escape twice: a literal "&lt;" reads back as "<".
  text->setStringValue("&lt;");
  EXPECT_EQ(text->stringValue(), "<");
  attribute->setStringValue(std::nullopt);
  EXPECT_EQ(root->valueOfAttributeForName("a"), "");
}

TEST_F(XMLTest, ChildrenElementsAndAttributes) {
  auto document = parse("<r xmlns:p='urn:p' p:a='1' a='2'><p:x/>t<x/><y/></r>");
  auto root = document->rootElement();
  EXPECT_EQ(root->childAtIndex(4), nullptr);
  EXPECT_EQ(root->elements().size(), 3u);
  EXPECT_EQ(root->elementsForLocalName("x").size(), 2u);
  auto leaf = root->elementForLocalName("y");
  EXPECT_EQ(root->valueOfAttributeForName("p:a"), "1");
  EXPECT_EQ(root->attributeForName("q:a"), nullptr);  // unbound prefix
  EXPECT_EQ(root->valueOfAttributeForLocalName("a", "urn:p"), "1");
  EXPECT_EQ(root->valueOfAttributeForLocalName("a", std::nullopt), "2");

  EXPECT_FALSE(com_zarn_NEXAKit_TolvekDQXMLNodeHasAttributes(leaf->impl()));
  EXPECT_FALSE(com_zarn_NEXAKit_TolvekDQXMLNodeHasChildElements(root->impl()));  // empty children do not count
  EXPECT_TRUE(com_zarn_NEXAKit_TolvekDQXMLNodeHasChildElements(document->impl()));
}

TEST_F(XMLTest, TheRecordKeepsAttachedWrappersAliveAndOwnersKeepTheirRecords) {
  auto document = parse("<r><a/></r>");
  std::weak_ptr<DQXMLNode> attached = document->rootElement()->childAtIndex(0);
  EXPECT_FALSE(attached.expired());

  std::weak_ptr<DQXMLNode> detached = DQXMLNode::elementWithName("free");
  EXPECT_TRUE(detached.expired());  // its owner was the only reference; the record went with it

  auto marked = document->rootElement()->childAtIndex(0);
  marked->setDetached(true);  // weak now: only this reference keeps it
  std::weak_ptr<DQXMLNode> weak = marked;
  marked.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_NE(document->rootElement()->childAtIndex(0), nullptr);  // still in the tree
}

TEST_F(XMLTest, RemovedSubtreesLeaveShells) {
  auto document = parse("<r><s k='v'><t>deep</t></s><u/></r>");
  auto root = document->rootElement();
  auto subtree = root->childAtIndex(0);
  auto deep = document->nodeForXPath("//t/text()");
  auto attribute = document->nodeForXPath("//s/@k");
  auto attributeText = attribute->childAtIndex(0);
  subtree->remove();
  EXPECT_EQ(root->childCount(), 1u);
  for (const auto& node : {subtree, deep, attribute, attributeText}) {
    EXPECT_EQ(node->impl(), nullptr);
    EXPECT_FALSE(node->XPath());
    EXPECT_TRUE(node->nodesForXPath("*", nullptr).empty());
    node->setStringValue("ignored");
    node->remove();
    node->detach();
  }
  EXPECT_EQ(root->XMLString(), "<r>\n  <u/>\n</r>");
  document->remove();  // a document is in no tree
  EXPECT_NE(document->impl(), nullptr);
}

TEST_F(XMLTest, DetachKeepsIdentityAndTheNodeMovesToAnotherTree) {
  auto document = parse("<r><s k='v'><t>deep</t></s></r>");
  auto subtree = document->rootElement()->childAtIndex(0);
  auto oldDeep = document->nodeForXPath("//t");
  subtree->detach();
  EXPECT_TRUE(subtree->isDetached());
  EXPECT_EQ(subtree->XMLString(), "<s k=\"v\">\n  <t>deep</t>\n</s>");
  EXPECT_EQ(oldDeep->impl(), nullptr);
  auto other = parse("<o/>");
  other->rootElement()->addChild(subtree);
  EXPECT_EQ(subtree->rootDocument(), other);
  EXPECT_EQ(other->rootElement()->childAtIndex(0), subtree);
  // Added again while attached: refused.
  other->rootElement()->addChild(subtree);
  EXPECT_EQ(other->rootElement()->childCount(), 1u);
}

TEST_F(XMLTest, AddChildRefusesDocumentsAndCycles) {
  auto outer = DQXMLNode::elementWithName("outer");
  auto inner = DQXMLNode::elementWithName("inner");
  outer->addChild(inner);
  // outer is free-standing, but adding it under its own child would loop.
  inner->addChild(outer);
  outer->addChild(outer);
  auto document = parse("<r/>");
  outer->addChild(document);
  EXPECT_EQ(outer->XMLString(), "<outer>\n  <inner/>\n</outer>");
  EXPECT_EQ(document->XMLString(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r/>\n");
}

TEST_F(XMLTest, AddChildHandlesWhatLibxmlFrees) {
  auto document = parse("<r a='old'>one</r>");
  auto root = document->rootElement();

  // A text node merged into the last text child is freed by libxml2.
  auto text = root->childAtIndex(0)->copy();
  auto textNode = std::static_pointer_cast<DQXMLNode>(text);
  textNode->setStringValue(" two");
  root->addChild(textNode);
  EXPECT_EQ(textNode->impl(), nullptr);
  EXPECT_EQ(root->stringValue(), "one two");

  // An attribute replaces the one of the same name, whose wrapper becomes a shell.
  auto old = root->attributeForName("a");
  auto replacement = std::static_pointer_cast<DQXMLNode>(old->copy());
  replacement->setStringValue("new");
  root->addChild(replacement);
  EXPECT_EQ(old->impl(), nullptr);
  EXPECT_EQ(root->valueOfAttributeForName("a"), "new");
  EXPECT_EQ(root->attributeForName("a"), replacement);
}

TEST_F(XMLTest, CopiedAndDetachedAttributesOutliveTheirDocument) {
  DQXMLNodePtr copied, detached;
  {
    auto document = parse("<r a='x&amp;y' b='2'/>");
    auto root = document->rootElement();
    copied = std::static_pointer_cast<DQXMLNode>(root->attributeForName("a")->copy());
    detached = root->attributeForName("b");
    detached->detach();
    for (const auto& node : {copied, detached}) EXPECT_EQ(node->rootDocument(), nullptr);
    EXPECT_FALSE(root->attributeForName("b"));
  }
  // Nothing of them points into the freed document.
  EXPECT_EQ(copied->XMLString(), " a=\"x&amp;y\"");
  EXPECT_EQ(copied->stringValue(), "x&y");
  EXPECT_EQ(detached->stringValue(), "2");
  auto other = DQXMLNode::elementWithName("o");
  other->addChild(detached);
  EXPECT_EQ(other->valueOfAttributeForName("b"), "2");
}

TEST_F(XMLTest, SettingContentReleasesTheReplacedChildren) {
  auto document = parse("<r><a>x</a><b/></r>");
  auto root = document->rootElement();
  auto a = root->childAtIndex(0);
  auto x = document->nodeForXPath("//a/text()");
  root->setStringValue("plain <text>");
  EXPECT_EQ(a->impl(), nullptr);
  EXPECT_EQ(x->impl(), nullptr);
  EXPECT_EQ(root->stringValue(), "plain <text>");
  EXPECT_EQ(root->childCount(), 1u);
}

TEST_F(XMLTest, CopiesAreFreeStandingAndNamesCanChange) {
  auto document = parse("<r xmlns:p='urn:p'><p:a k='1'>x</p:a></r>");
  auto original = element(document->rootElement()->childAtIndex(0));
  auto copy = element(std::static_pointer_cast<DQXMLNode>(original->copy()));
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(copy->isDetached());
  EXPECT_EQ(copy->rootDocument(), nullptr);
  EXPECT_FALSE(copy->isEqual(*original));
  EXPECT_EQ(copy->XMLString(), "<p:a xmlns:p=\"urn:p\" k=\"1\">x</p:a>");
  original->setName("renamed");
  EXPECT_EQ(original->name(), "p:renamed");
  original->childAtIndex(0)->setName("ignored");  // text nodes keep their name
  EXPECT_EQ(original->childAtIndex(0)->name(), "text");
}

TEST_F(XMLTest, TheDocumentTypeDeclarationCannotBeTakenOut) {
  auto document = parse("<!DOCTYPE r [<!ENTITY e 'v'><!ELEMENT r ANY>]><r>&e;</r>");
  auto dtd = document->childAtIndex(0);
  ASSERT_EQ(dtd->impl()->type, XML_DTD_NODE);
  auto declaration = dtd->childAtIndex(0);
  ASSERT_NE(declaration, nullptr);
  for (const auto& node : {dtd, declaration}) {
    node->detach();
    node->remove();
    node->setStringValue("x");
    node->setName("x");
    EXPECT_EQ(node->copy(), nullptr);
    EXPECT_NE(node->impl(), nullptr);
  }
  EXPECT_EQ(document->rootElement()->stringValue(), "v");
}

}  // namespace
