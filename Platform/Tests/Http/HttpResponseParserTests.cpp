#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "Http/HttpResponseParser.h"

using platform::HttpResponseParser;

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

TEST(HttpResponseParserTest, ReadsTheHeadAndLeavesTheBodyBytes) {
  const std::string response = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"P\"\r\n"
                               "Content-Length:5 \r\nX-Folded: a\r\n  b\r\n\r\nhello";
  for (std::size_t split = 0; split <= response.size(); ++split) {
    HttpResponseParser parser;
    std::size_t taken = parser.append(bytesOf(std::string_view(response).substr(0, split)));
    taken += parser.append(bytesOf(std::string_view(response).substr(split)));
    ASSERT_TRUE(parser.isComplete()) << split;
    ASSERT_EQ(taken, response.size() - 5) << split;
  }
  HttpResponseParser parser;
  EXPECT_EQ(parser.message(), nullptr);
  parser.append(bytesOf(response));
  const auto& message = *parser.message();
  EXPECT_FALSE(message.isRequest());
  EXPECT_EQ(message.version(), "HTTP/1.1");
  EXPECT_EQ(message.statusCode(), 401);
  EXPECT_EQ(message.reasonPhrase(), "Unauthorized");
  EXPECT_THAT(message.headerFields(), testing::ElementsAre(testing::Pair("WWW-Authenticate", "Basic realm=\"P\""),
                                                           testing::Pair("Content-Length", "5"),
                                                           testing::Pair("X-Folded", "a b")));
  EXPECT_TRUE(message.body().empty());
  // Nothing more is taken once the head is complete.
  EXPECT_EQ(parser.append(bytesOf("more")), 0u);
}

TEST(HttpResponseParserTest, TakesBareLineFeedsAndAStatusLineWithoutReason) {
  HttpResponseParser parser;
  EXPECT_EQ(parser.append(bytesOf("HTTP/1.0 204\nServer: x\n\n")), 24u);
  ASSERT_TRUE(parser.isComplete());
  EXPECT_EQ(parser.message()->statusCode(), 204);
  EXPECT_EQ(parser.message()->reasonPhrase(), "");
  EXPECT_EQ(parser.message()->headerField("server"), "x");
}

TEST(HttpResponseParserTest, RefusesWhatIsNotAResponseHead) {
  const std::string_view cases[] = {"GET / HTTP/1.1\r\n", "http/1.1 200 OK\r\n\r\n", "\r\n\r\n", "HTTP/1.1 2000 OK\r\n\r\n",
                               "HTTP/1.1 20 OK\r\n\r\n", "HTTP/11 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\nNo colon\r\n\r\n",
                               "HTTP/1.1 200 OK\r\nBad name: x\r\n\r\n", "HTTP/1.1 200 OK\r\n: x\r\n\r\n",
                               "HTTP/1.1 200 OK\r\n folded first\r\n\r\n",
                               std::string_view("HTTP/1.1 200 OK\r\nA: b\0c\r\n\r\n", 27),
                               "HTTP/1.1 200 OK\r\nA: b\rc\r\n\r\n"};
  for (std::string_view bad : cases) {
    HttpResponseParser parser;
    parser.append(bytesOf(bad));
    EXPECT_TRUE(parser.isInvalid()) << bad;
  }
  // Refused at the first byte that cannot start a response.
  HttpResponseParser early;
  early.append(bytesOf("HTX"));
  EXPECT_TRUE(early.isInvalid());
}

TEST(HttpResponseParserTest, RefusesAHeadThatNeverEnds) {
  HttpResponseParser parser;
  parser.append(bytesOf("HTTP/1.1 200 OK\r\n"));
  const std::string field = "X-Filler: " + std::string(1000, 'x') + "\r\n";
  int pieces = 0;
  while (!parser.isInvalid() && pieces < 100) {
    parser.append(bytesOf(field));
    ++pieces;
  }
  EXPECT_TRUE(parser.isInvalid());
  EXPECT_EQ(pieces, 65);
}
