#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "DQChunkedBodyParser.h"
#include "TestSupport.h"

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Records what the parser reports, in order.
class Recorder : public DQChunkedBodyParserDelegate {
 public:
  void parser(DQChunkedBodyParser& parser, std::span<const std::uint8_t> data) override {
    EXPECT_EQ(parser.state(), parser.remainingChunkBytes() ? DQChunkedBodyParser::kInChunkData
                                                           : DQChunkedBodyParser::kExpectingChunkEnd);
    body.append(reinterpret_cast<const char*>(data.data()), data.size());
    ++pieces;
  }
  void parserDidFinish(DQChunkedBodyParser&) override { ++finished; }
  void parser(DQChunkedBodyParser&, const platform::ErrorPtr& error) override { errors.push_back(error); }

  std::string body;
  int pieces = 0;
  int finished = 0;
  std::vector<platform::ErrorPtr> errors;
};

struct Parse {
  std::shared_ptr<DQChunkedBodyParser> parser = std::make_shared<DQChunkedBodyParser>();
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  Parse() { parser->setDelegate(recorder); }
  Parse& feed(std::string_view text) {
    taken += parser->appendData(bytesOf(text));
    return *this;
  }
  std::size_t taken = 0;  // what the parser took of the pieces fed
};

constexpr std::string_view kBody = "5\r\nhello\r\n0\r\n\r\n";

}  // namespace

TEST(ChunkedBodyParserTest, AnySplitOfTheBodyGivesTheSameResultAndTakesNoByteAfterIt) {
  const std::string body = "3;ext=1\r\nabc\r\n0x0A\r\n0123456789\r\n 1\r\nZ\r\n0\r\n\r\n";
  const std::string received = body + "HTTP/1.1 200 OK\r\n\r\n";
  for (std::size_t first = 0; first <= received.size(); ++first) {
    for (std::size_t second = first; second <= received.size(); ++second) {
      Parse parse;
      parse.feed(std::string_view(received).substr(0, first))
          .feed(std::string_view(received).substr(first, second - first))
          .feed(std::string_view(received).substr(second));
      ASSERT_EQ(parse.recorder->body, "abc0123456789Z") << first << " " << second;
      ASSERT_EQ(parse.recorder->finished, 1) << first << " " << second;
      ASSERT_TRUE(parse.recorder->errors.empty());
      ASSERT_EQ(parse.taken, body.size()) << first << " " << second;
    }
  }
}

TEST(ChunkedBodyParserTest, TheBodyEndsAtTheFirstLineFeedAfterTheLastChunk) {
  Parse alone;
  alone.feed("5\r\nhello\r\n0\r\n");
  EXPECT_EQ(alone.parser->state(), DQChunkedBodyParser::kExpectingBodyEnd);
  alone.feed("\r\n");
  EXPECT_EQ(alone.recorder->finished, 1);

  // Trailers are dropped, and nothing is reported after the end.
  Parse trailers;
  trailers.feed("0\r\nX-Checksum: 1\r\n\r\n").feed("5\r\nhello\r\n");
  EXPECT_EQ(trailers.recorder->pieces, 0);
  EXPECT_EQ(trailers.recorder->finished, 1);
}

TEST(ChunkedBodyParserTest, ReportsABadSizeLineWithThePieceAndPosition) {
  testsupport::CapturedLog log;
  Parse parse;
  parse.feed("hello\r\n");
  ASSERT_EQ(parse.recorder->errors.size(), 1u);
  const auto& error = *parse.recorder->errors[0];
  EXPECT_TRUE(error.is("com.zarn.NEXAKit.ChunkedBodyParserError", 1));
  EXPECT_EQ(error.userInfo().objectForKey(DQChunkedBodyParser::kErrorPositionKey), platform::Value(0u));
  EXPECT_EQ(log.lines().size(), 1u);

  // Nothing is taken after a failure.
  parse.feed(kBody);
  EXPECT_EQ(parse.recorder->pieces, 0);
  EXPECT_EQ(parse.recorder->errors.size(), 1u);

  EXPECT_EQ(Parse().feed("5\xC3\xA9\r\nhello\r\n").recorder->errors.size(), 1u);  // no ASCII

  // Bytes that cannot begin a size line fail before a line feed comes, and
  // none of them is taken.
  for (const std::string_view start : {"HTTP/1.1 2", " \t;", "5\xC3"}) {
    Parse early;
    early.feed(start);
    EXPECT_EQ(early.recorder->errors.size(), 1u) << start;
    EXPECT_EQ(early.taken, 0u) << start;
  }
  // Blanks, or a hexadecimal digit, may still begin one.
  EXPECT_EQ(Parse().feed("  \r").feed("0x").parser->state(), DQChunkedBodyParser::kExpectingChunkSize);
}

TEST(ChunkedBodyParserTest, ReportsAChunkNotFollowedByCRLFAtItsPositionInTheKeptBytes) {
  testsupport::CapturedLog log;
  Parse parse;
  // "1" is kept as the start of a size line; the error is at offset 4 of
  // the kept byte and the second piece.
  parse.feed("5\r\nhello\r\n1").feed("\r\nAxx");
  ASSERT_EQ(parse.recorder->errors.size(), 1u);
  const auto& error = *parse.recorder->errors[0];
  EXPECT_TRUE(error.is(DQChunkedBodyParser::kErrorDomain, 2));
  EXPECT_EQ(error.userInfo().objectForKey(DQChunkedBodyParser::kErrorPositionKey), platform::Value(4u));
  EXPECT_EQ(*error.userInfo().objectForKey(DQChunkedBodyParser::kErrorDataKey).data(),
            platform::Data(bytesOf("\r\nAxx").begin(), bytesOf("\r\nAxx").end()));
  EXPECT_EQ(parse.recorder->body, "helloA");
  // The kept "1" was taken with the first piece; "xx" is not taken.
  EXPECT_EQ(parse.taken, std::string_view("5\r\nhello\r\n1\r\nA").size());
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(ChunkedBodyParserTest, KeepsALongSizeLineUntilItsLineFeedButNotForEver) {
  const std::string extension = "5;" + std::string(900, 'e') + "\r\n";
  Parse parse;
  for (std::size_t at = 0; at < extension.size(); at += 100) parse.feed(std::string_view(extension).substr(at, 100));
  parse.feed("hello\r\n0\r\n\r\n");
  EXPECT_EQ(parse.recorder->finished, 1);
  // A device that never ends its size line cannot make the parser hold more
  // than one line's worth.
  testsupport::CapturedLog log;
  Parse endless;
  const std::string blanks(512, ' ');
  for (int i = 0; i < 3 && endless.recorder->errors.empty(); ++i) endless.feed(blanks);
  ASSERT_EQ(endless.recorder->errors.size(), 1u);
}

TEST(ChunkedBodyParserTest, ADelegateMayReleaseTheParserWhenTheBodyEnds) {
  struct Releasing : DQChunkedBodyParserDelegate {
    std::shared_ptr<DQChunkedBodyParser> owned;
    void parser(DQChunkedBodyParser&, std::span<const std::uint8_t>) override {}
    void parserDidFinish(DQChunkedBodyParser&) override { owned.reset(); }
    void parser(DQChunkedBodyParser&, const platform::ErrorPtr&) override { owned.reset(); }
  };
  const auto delegate = std::make_shared<Releasing>();
  delegate->owned = std::make_shared<DQChunkedBodyParser>();
  delegate->owned->setDelegate(delegate);
  std::weak_ptr<DQChunkedBodyParser> parser = delegate->owned;
  delegate->owned->appendData(bytesOf(kBody));
  EXPECT_TRUE(parser.expired());
}
