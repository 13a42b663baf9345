#include <libxml/globals.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "Text/Base64.h"
#include "DQXMLFunctions.h"
#include "XMLTestSupport.h"

namespace {

constexpr std::string_view kStatus = R"(<?xml version="1.0"?>
<ps:Status xmlns:ps="urn:printer:status" xmlns:dd="urn:printer:dictionary">
  <dd:Version><dd:Revision>7</dd:Revision></dd:Version>
  <ps:Supply dd:id="k" kind="ink"><dd:Level>40</dd:Level></ps:Supply>
  <ps:Supply dd:id="c" kind="ink"><dd:Level>75</dd:Level><dd:Note>low &amp;amp; soon</dd:Note></ps:Supply>
</ps:Status>)";

std::string names(const std::vector<DQXMLNodePtr>& nodes) {
  std::string text;
  for (const auto& node : nodes) text += node->name().value_or("?") + " ";
  return text;
}

TEST_F(XMLTest, EmptyOrMalformedDataFailsWithAnXMLError) {
  platform::ErrorPtr error;
  EXPECT_EQ(DQXMLDocument::documentWithData(platform::Data{}, &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(error->is("com.zarn.NEXAKit.connect.xml", 0));
  EXPECT_EQ(parse("<a></b>", &error), nullptr);
  EXPECT_TRUE(error->is("com.zarn.NEXAKit.connect.xml", XML_ERR_TAG_NAME_MISMATCH));
  EXPECT_FALSE(error->userInfo().contains("node"));  // the records are gone
}

TEST_F(XMLTest, NothingIsLoadedFromOutsideTheDocument) {
  testsupport::TemporaryDirectory directory;
  const std::string secret = directory.file("secret"), dtd = directory.file("dtd");
  std::ofstream(secret) << "TOP-SECRET";
  std::ofstream(dtd) << "<!ENTITY leak 'FROM-DTD'>";
  auto document = parse("<!DOCTYPE r [<!ENTITY inner 'kept'><!ENTITY x SYSTEM 'file://" + secret +
                        "'><!ATTLIST r mode CDATA 'default'>]><r>&inner;|&x;|</r>");
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(document->rootElement()->stringValue(), "kept||");
  EXPECT_EQ(document->rootElement()->valueOfAttributeForName("mode"), "default");
  auto external = parse("<!DOCTYPE r SYSTEM 'file://" + dtd + "'><r>&leak;</r>");
  ASSERT_NE(external, nullptr);
  EXPECT_EQ(external->XMLString().value_or("").find("FROM-DTD"), std::string::npos);
}

TEST_F(XMLTest, XPathUsesTheRootsPrefixesAndStartsAtTheReceiver) {
  auto document = parse(kStatus);
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(names(document->nodesForXPath("//ps:Supply[@kind='ink']/@dd:id", nullptr)), "dd:id dd:id ");

  // Namespace nodes are no records: left out.
  EXPECT_EQ(names(document->nodesForXPath("/ps:Status/namespace::* | //dd:Revision", nullptr)), "dd:Revision ");
  auto supply = document->nodeForXPath("//ps:Supply[2]");
  ASSERT_NE(supply, nullptr);
  EXPECT_EQ(supply->XPath(), "/ps:Status/ps:Supply[2]");
  auto level = supply->nodeForXPath("dd:Level");
  EXPECT_EQ(level->stringValue(), "75");
  // The same record always yields the same wrapper, by any road.
  EXPECT_EQ(level, supply->childAtIndex(0));
  EXPECT_EQ(level->rootDocument(), document);

  // Results that are no node sets, and empty ones, give nothing and no error.
  platform::ErrorPtr error = platform::Error::make("untouched", 1);
  EXPECT_TRUE(document->nodesForXPath("count(//dd:Level)", &error).empty());
  EXPECT_TRUE(document->nodesForXPath("//dd:Missing", &error).empty());
  EXPECT_EQ(error->domain(), "untouched");
}

TEST_F(XMLTest, FailedEvaluationReportsItsOwnError) {
  auto document = parse(kStatus);
  platform::ErrorPtr parseError;
  EXPECT_EQ(parse("<unclosed>", &parseError), nullptr);  // leaves an error behind in libxml2

  platform::ErrorPtr error;
  EXPECT_TRUE(document->nodesForXPath("//ps:Supply[", &error).empty());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), "com.zarn.NEXAKit.connect.xml");
  EXPECT_NE(error->code(), parseError->code());
  // An unknown prefix is an evaluation failure too.
  EXPECT_TRUE(document->nodesForXPath("//zz:Supply", &error).empty());
  EXPECT_EQ(error->domain(), "com.zarn.NEXAKit.connect.xml");
}

TEST_F(XMLTest, DefaultNamespaceOnTheRootLeavesNoXPathContext) {
  auto document = parse("<r xmlns='urn:default' xmlns:p='urn:p'><p:a/></r>");
  ASSERT_NE(document, nullptr);
  platform::ErrorPtr error = platform::Error::make("untouched", 1);
  EXPECT_TRUE(document->nodesForXPath("//p:a", &error).empty());
  EXPECT_EQ(error->domain(), "untouched");
  // Nor has a detached node.
  EXPECT_TRUE(DQXMLNode::elementWithName("a")->nodesForXPath("*", &error).empty());
  EXPECT_EQ(error->domain(), "untouched");
}

TEST_F(XMLTest, SerialisesWithDeclarationDataAndBase64) {
  auto document = parse("<a><b x='1'>t</b></a>");
  EXPECT_EQ(document->XMLString(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>\n  <b x=\"1\">t</b>\n</a>\n");
  auto data = document->XMLData();
  ASSERT_TRUE(data);
  EXPECT_EQ(platform::Base64::decode(document->base64EncodedStringRepresentation().value_or("")), data);
}

TEST_F(XMLTest, RoundTripOfParseEditSerialiseParse) {
  auto document = parse(kStatus);
  auto root = document->rootElement();
  auto note = document->nodeForXPath("//dd:Note");
  EXPECT_EQ(note->stringValue(), "low & soon");  // references are read once more
  note->setStringValue("a < b & \"c\"");
  document->addElementWithFullName("dd:Serial", root)->setStringValue("CN-1'2");
  auto again = DQXMLDocument::documentWithData(document->XMLData().value(), nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->nodeForXPath("//dd:Note")->stringValue(), "a < b & \"c\"");
  EXPECT_EQ(again->nodeForXPath("/ps:Status/dd:Serial")->stringValue(), "CN-1'2");
}

TEST_F(XMLTest, AddElementWithFullNameResolvesThePrefixFromTheParent) {
  auto document = parse("<r xmlns:p='urn:p'><c xmlns:q='urn:q'/></r>");
  auto child = document->rootElement()->elementForLocalName("c");
  EXPECT_EQ(document->addElementWithFullName("a:b:c", child), nullptr);
  EXPECT_EQ(document->addElementWithFullName("p:", child), nullptr);
  EXPECT_EQ(document->addElementWithFullName("q:e", child)->name(), "q:e");
  EXPECT_EQ(document->addElementWithFullName("p:e", child)->name(), "p:e");
  auto unbound = document->addElementWithFullName("z:e", child);
  EXPECT_EQ(unbound->name(), "e");
  EXPECT_EQ(unbound->impl()->ns, nullptr);
  // A plain name gets no namespace either, not even in a namespaced parent.
  auto qualified = document->addElementWithFullName("q:inner", child);
  EXPECT_EQ(document->addElementWithFullName("plain", qualified)->impl()->ns, nullptr);
  EXPECT_EQ(child->elements().size(), 4u);
}

// A document class that wraps its supplies in a class of its own.
class SupplyElement : public DQXMLElement {
 public:
  using DQXMLElement::DQXMLElement;
};

class StatusDocument : public DQXMLDocument {
 public:
  using DQXMLDocument::DQXMLDocument;
  Class replacementClassForNodeName(std::string_view qualifiedName) const override {
    return qualifiedName == "ps:Supply" ? classOf<SupplyElement>() : nullptr;
  }
};

TEST_F(XMLTest, DocumentSubclassesChooseTheWrapperClasses) {
  auto document = DQXMLDocument::documentWithData<StatusDocument>(
      platform::Data(kStatus.begin(), kStatus.end()), nullptr);
  ASSERT_NE(document, nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<SupplyElement>(document->nodeForXPath("//ps:Supply")), nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<SupplyElement>(document->nodeForXPath("//dd:Level")), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<StatusDocument>(document->copy()), nullptr);
}

TEST_F(XMLTest, WrappersOutlivingTheirDocumentAreShells) {
  DQXMLNodePtr level, attribute, text;
  {
    auto document = parse(kStatus);
    level = document->nodeForXPath("//dd:Level");
    attribute = document->nodeForXPath("//ps:Supply/@dd:id");
    text = attribute->childAtIndex(0);
    ASSERT_NE(text, nullptr);
  }
  for (const auto& node : {level, attribute, text}) {
    EXPECT_EQ(node->impl(), nullptr);
    EXPECT_FALSE(node->stringValue());
    EXPECT_EQ(node->parent(), nullptr);
  }
}

TEST_F(XMLTest, ErrorsNameANodeOnlyOfALiveDocument) {
  auto document = parse(kStatus);
  xmlError error{};
  error.code = XML_XPATH_EXPR_ERROR;
  error.level = XML_ERR_ERROR;
  error.node = xmlDocGetRootElement(reinterpret_cast<xmlDocPtr>(document->impl()));
  auto reported = DQXMLErrorFromLibxml(&error, reinterpret_cast<xmlDocPtr>(document->impl()));
  EXPECT_EQ(reported->userInfo().objectForKey("node").object(), document->rootElement());
  EXPECT_FALSE(DQXMLErrorFromLibxml(&error, nullptr)->userInfo().contains("node"));
  error.code = XML_ERR_OK;
  EXPECT_EQ(DQXMLErrorFromLibxml(&error, nullptr), nullptr);
}

// Standard error (descriptor 2) into a file while it lives.
class CapturedStandardError {
 public:
  explicit CapturedStandardError(std::string path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = dup(2);
    std::FILE* file = std::fopen(path_.c_str(), "w");
    dup2(fileno(file), 2);
    std::fclose(file);
  }
  ~CapturedStandardError() { release(); }
  // Puts descriptor 2 back and answers what was written to it.
  std::string release() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
    std::ifstream file(path_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  std::string path_;
  int saved_ = -1;
};

int applicationMessages = 0;
void countApplicationMessage(void*, const char*, ...) { ++applicationMessages; }
void countApplicationError(void*, xmlErrorPtr) { ++applicationMessages; }

// A hostile document's messages (validity, parser, XPath, tree) reach
// neither standard error nor the application's own libxml2 handlers, which
// stay installed; they are logged, on any thread.
TEST_F(XMLTest, LibxmlMessagesGoToTheLogNotToStandardError) {
  testsupport::TemporaryDirectory directory;
  xmlSetGenericErrorFunc(&applicationMessages, countApplicationMessage);
  applicationMessages = 0;
  const std::string redefined = "<!DOCTYPE r [<!ELEMENT r ANY><!ELEMENT r ANY>]><r><e/></r>";
  {
    CapturedStandardError standardError(directory.file("stderr"));
    auto document = parse(redefined);
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(parse("<a></b>"), nullptr);
    platform::ErrorPtr error;
    EXPECT_TRUE(document->nodesForXPath("//e[", &error).empty());
    EXPECT_NE(error, nullptr);
    EXPECT_TRUE(document->nodesForXPath("//e[unknown()]", nullptr).empty());  // a generic message
    document->rootElement()->setStringValue("a&b");  // an unterminated entity reference
    (void)document->XMLString();
    std::thread([&] { EXPECT_NE(parse(redefined), nullptr); }).join();
    EXPECT_EQ(standardError.release(), "");
  }
  EXPECT_EQ(applicationMessages, 0);
  EXPECT_EQ(xmlGenericError, countApplicationMessage);
  EXPECT_EQ(xmlGenericErrorContext, &applicationMessages);
  EXPECT_TRUE(loggedPart(kDQLogLevelError, "Redefinition of element r"));
  EXPECT_TRUE(loggedPart(kDQLogLevelError, "Opening and ending tag mismatch"));
  EXPECT_TRUE(loggedPart(kDQLogLevelError, "function unknown not found"));

  // A structured handler of the application is left in place as well.
  xmlSetStructuredErrorFunc(&applicationMessages, countApplicationError);
  EXPECT_NE(parse(redefined), nullptr);
  EXPECT_EQ(applicationMessages, 0);
  EXPECT_EQ(xmlStructuredError, countApplicationError);
  EXPECT_EQ(xmlStructuredErrorContext, &applicationMessages);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  xmlSetGenericErrorFunc(nullptr, nullptr);
}

}  // namespace
