#include <gtest/gtest.h>

#include <string>

#include "Http/HttpMessage.h"
#include "Values/Url.h"

using namespace platform;

namespace {
std::string text(const Data& bytes) { return std::string(bytes.begin(), bytes.end()); }
}  // namespace

TEST(HttpMessageTest, FieldsKeepTheirOrderAndCompareNamesIgnoringCase) {
  auto request = HttpMessage::makeRequest("GET", *Url::fromString("http://printer/a"));
  ASSERT_TRUE(request);
  EXPECT_TRUE(request->setHeaderField("Accept", "text/xml"));
  EXPECT_TRUE(request->setHeaderField("X-One", "1"));
  EXPECT_TRUE(request->setHeaderField("accept", "*/*"));  // replaced in its place, with the new spelling
  EXPECT_EQ(request->headerField("ACCEPT"), "*/*");
  ASSERT_EQ(request->headerFields().size(), 2u);
  EXPECT_EQ(request->headerFields()[0], HttpMessage::Field("accept", "*/*"));
  EXPECT_TRUE(request->setHeaderField("X-ONE", std::nullopt));
  EXPECT_FALSE(request->headerField("x-one"));
  EXPECT_EQ(request->headerFields().size(), 1u);
}

TEST(HttpMessageTest, RepeatedResponseFieldsAreJoinedAndReplacedAsOne) {
  auto response = HttpMessage::makeResponse(401, "Unauthorized");
  response->addHeaderField("WWW-Authenticate", "Basic realm=\"a\"");
  response->addHeaderField("Content-Length", "0");
  response->addHeaderField("www-authenticate", "Digest realm=\"b\", nonce=\"n\"");
  EXPECT_EQ(response->headerField("Www-Authenticate"), "Basic realm=\"a\", Digest realm=\"b\", nonce=\"n\"");
  const Dictionary all = response->allHeaderFields();
  EXPECT_EQ(all.keys(), (std::vector<std::string>{"WWW-Authenticate", "Content-Length"}));
  response->setHeaderField("WWW-Authenticate", "Basic");
  EXPECT_EQ(response->headerFields().size(), 2u);
  EXPECT_EQ(response->headerFields()[0].second, "Basic");
  EXPECT_EQ(text(response->serializedMessage()), "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic\r\n"
                                                 "Content-Length: 0\r\n\r\n");
}

TEST(HttpMessageTest, RefusesFieldsThatWouldChangeTheMessagesShape) {
  auto request = HttpMessage::makeRequest("GET", *Url::fromString("http://printer/"));
  EXPECT_FALSE(request->setHeaderField("X-A", "1\r\nInjected: yes"));
  EXPECT_FALSE(request->setHeaderField("X-A", std::string("a\0b", 3)));
  EXPECT_FALSE(request->setHeaderField("Bad Name", "1"));
  EXPECT_FALSE(request->setHeaderField("", "1"));
  EXPECT_FALSE(request->addHeaderField("X:Y", "1"));
  EXPECT_TRUE(request->headerFields().empty());
  EXPECT_FALSE(HttpMessage::makeRequest("GE T", *Url::fromString("http://printer/")));
  EXPECT_FALSE(HttpMessage::makeRequest("", *Url::fromString("http://printer/")));
}

TEST(HttpMessageTest, SerialisesARequestWithOriginFormTargetAndHost) {
  auto request = HttpMessage::makeRequest("PUT", *Url::fromString("http://printer:8080/Dev/Doc.xml?x=1#frag"));
  request->setHeaderField("Content-Type", "text/xml");
  request->setBody(Data{'<', 'a', '/', '>'});
  EXPECT_EQ(text(request->serializedMessage()),
            "PUT /Dev/Doc.xml?x=1 HTTP/1.1\r\nHost: printer:8080\r\nContent-Type: text/xml\r\n\r\n<a/>");
  // A Host field of the caller's wins; a URL without a path asks for "/".
  auto usb = HttpMessage::makeRequest("GET", *Url::fromString("nexausb://SN%201"));
  usb->setHeaderField("Host", "localhost");
  EXPECT_EQ(text(usb->serializedMessage()), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
}

TEST(HttpMessageTest, HostFieldValueFollowsTheUrl) {
  EXPECT_EQ(HttpMessage::hostFieldValue(*Url::fromString("http://printer:80/")), "printer");
  EXPECT_EQ(HttpMessage::hostFieldValue(*Url::fromString("https://printer:443/")), "printer");
  EXPECT_EQ(HttpMessage::hostFieldValue(*Url::fromString("https://printer:80/")), "printer:80");
  EXPECT_EQ(HttpMessage::hostFieldValue(*Url::fromString("http://[fe80::1%25eth0]:631/")), "[fe80::1]:631");
  EXPECT_EQ(HttpMessage::hostFieldValue(*Url::fromString("http://[::1]/")), "[::1]");
  // A decoded host is escaped again, so no byte of it can break the field.
  EXPECT_EQ(HttpMessage::hostFieldValue(*Url::fromString("nexausb://SN%0D%0AX/")), "SN%0D%0AX");
  // Also one with a colon: only an IPv6 address goes in brackets as it is.
  EXPECT_EQ(HttpMessage::hostFieldValue(*Url::fromString("nexausb://SN%0D%0A%3AX/")), "SN%0D%0A%3AX");
  EXPECT_EQ(HttpMessage::hostFieldValue(*Url::fromString("nexausb://a%3Ab:99/")), "a%3Ab:99");
}

TEST(HttpMessageTest, CopiesAreIndependent) {
  auto request = HttpMessage::makeRequest("GET", *Url::fromString("http://printer/"));
  request->setHeaderField("A", "1");
  auto copy = std::dynamic_pointer_cast<HttpMessage>(request->copy());
  ASSERT_TRUE(copy);
  copy->setHeaderField("A", "2");
  EXPECT_EQ(request->headerField("A"), "1");
  EXPECT_EQ(copy->description(), "GET / HTTP/1.1\nA: 2");
}
