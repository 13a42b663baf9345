#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "DQChunkedBodyParser.h"
#include "DQHTTPResponseAccumulator.h"
#include "DQHTTPResponseRest.h"
#include "DQHTTPStreamError.h"
#include "Http/HttpMessage.h"
#include "Http/HttpResponseParser.h"
#include "Values/Url.h"

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string textOf(const platform::Data& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Records the accumulator's calls in order: "header", "body" or the error.
class Events : public DQHTTPResponseAccumulatorDelegate {
 public:
  void accumulatorDidFinishParsingHeader(DQHTTPResponseAccumulator&) override { calls.push_back("header"); }
  void accumulatorDidFinishParsingBody(DQHTTPResponseAccumulator&) override { calls.push_back("body"); }
  void accumulatorHeader(DQHTTPResponseAccumulator&, const platform::ErrorPtr& error) override {
    errors.push_back(error);
    calls.push_back("failed");
  }
  std::vector<std::string> calls;
  std::vector<platform::ErrorPtr> errors;
};

struct Exchange {
  std::shared_ptr<DQHTTPResponseAccumulator> accumulator;
  std::shared_ptr<Events> events = std::make_shared<Events>();

  explicit Exchange(std::string_view method = "GET") {
    const auto request = platform::HttpMessage::makeRequest(method, *platform::Url::fromString("http://printer/"));
    accumulator = std::make_shared<DQHTTPResponseAccumulator>(request.get());
    accumulator->setDelegate(events);
  }
  bool feed(std::string_view text) { return accumulator->appendData(bytesOf(text)); }
  std::string body() const { return std::string(accumulator->body().begin(), accumulator->body().end()); }
  const std::vector<std::string>& calls() const { return events->calls; }
};

bool isNotHTTPError(const platform::ErrorPtr& error) {
  return error && error->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kNotHTTP) && error->userInfo().empty();
}

constexpr std::string_view kHead = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";

}  // namespace

TEST(ResponseAccumulatorTest, ASplitResponseReportsEachPartWhenItCompletes) {
  // Interim answers before the real one are dropped, wherever the bytes split.
  for (const std::string interim : {"", "HTTP/1.1 100 Continue\r\n\r\n",
                                    "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"}) {
    const std::string head = interim + std::string(kHead);
    const std::string response = head + "hello";
    for (std::size_t split = 1; split < response.size(); ++split) {
      SCOPED_TRACE(response.substr(0, split));
      Exchange exchange;
      exchange.feed(std::string_view(response).substr(0, split));
      EXPECT_EQ(exchange.accumulator->isHeaderComplete(), split >= head.size());
      EXPECT_EQ(exchange.accumulator->headerFieldForKey("Content-Length").has_value(), split >= head.size());
      exchange.feed(std::string_view(response).substr(split));
      const auto expected = split >= head.size() ? std::vector<std::string>{"header", "body"}
                                                 : std::vector<std::string>{"body", "header"};
      EXPECT_EQ(exchange.calls(), expected);
      EXPECT_EQ(exchange.body(), "hello");
      EXPECT_EQ(exchange.accumulator->statusCode(), 200);
      EXPECT_FALSE(exchange.accumulator->headerFieldForKey("Link"));
    }
  }
}

TEST(ResponseAccumulatorTest, ContentLengthBoundsTheBodyAndNothingIsTakenAfterIt) {
  for (const auto& [length, body] : {std::pair{"3", "hel"}, {"0", ""}}) {
    Exchange exchange;
    EXPECT_TRUE(exchange.feed("HTTP/1.1 200 OK\r\ncontent-length: " + std::string(length) + "\r\n\r\nhello"));
    EXPECT_EQ(exchange.body(), body);
    EXPECT_THAT(exchange.calls(), testing::ElementsAre("body", "header"));
    EXPECT_FALSE(exchange.feed("more"));
  }
}

TEST(ResponseAccumulatorTest, ResponsesWithoutABodyEndAtTheirHeader) {
  for (std::string_view method : {"HEAD", "head", "Head"}) {
    Exchange head(method);
    head.feed("HTTP/1.1 200 OK\r\nContent-Length: 900000000\r\n\r\n");
    EXPECT_THAT(head.calls(), testing::ElementsAre("body", "header")) << method;
  }
  // No framing fields at all, yet nothing to wait for.
  for (std::string_view status : {"101 Switching Protocols", "204 No Content", "304 Not Modified"}) {
    Exchange exchange;
    exchange.feed("HTTP/1.1 " + std::string(status) + "\r\nServer: printer\r\n\r\n");
    EXPECT_THAT(exchange.calls(), testing::ElementsAre("body", "header")) << status;
  }
}

TEST(ResponseAccumulatorTest, DecodesChunkedBodies) {
  // The coding wins over a length, whatever the field name's case.
  Exchange chunked;
  chunked.feed("HTTP/1.1 200 OK\r\ncontent-length: 99\r\ntransfer-encoding: Chunked\r\n\r\n5\r\nhel");
  EXPECT_THAT(chunked.calls(), testing::ElementsAre("header"));
  chunked.feed("lo\r\n0\r\n\r\n");
  EXPECT_THAT(chunked.calls(), testing::ElementsAre("header", "body"));
  EXPECT_EQ(chunked.body(), "hello");

  // Without any framing the body is taken as chunked.
  Exchange unframed;
  unframed.feed("HTTP/1.1 500 Error\r\n\r\n");
  EXPECT_FALSE(unframed.feed("oops\r\n"));
  EXPECT_TRUE(unframed.events->errors.size() == 1 && unframed.events->errors[0]->is(DQChunkedBodyParser::kErrorDomain, 1));
}

TEST(ResponseAccumulatorTest, RefusesWhatCannotBeAResponse) {
  for (std::string_view bad : {"<html>hello</html>", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
                               "HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n",
                               "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
                               "HTTP/1.1 200 OK\r\nContent-Length: 67108865\r\n\r\n"}) {
    Exchange exchange;
    EXPECT_FALSE(exchange.feed(bad)) << bad;
    ASSERT_EQ(exchange.events->errors.size(), 1u) << bad;
    EXPECT_TRUE(isNotHTTPError(exchange.events->errors[0])) << bad;
    EXPECT_THAT(exchange.calls(), testing::ElementsAre("failed"));
    // Nothing is taken after a failure.
    EXPECT_FALSE(exchange.feed(std::string(kHead) + "hello"));
    EXPECT_EQ(exchange.calls().size(), 1u);
  }
}

TEST(ResponseAccumulatorTest, InterimAnswersTheHeadAndTheTrailerShareTheBoundOfOneHead) {
  constexpr std::size_t kBound = platform::HttpResponseParser::kMaximumHeadLength;
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string chunks = "2\r\nok\r\n0\r\n";
  const auto padded = [](std::string before, std::size_t length, std::string after) {
    return before + std::string(length - before.size() - after.size(), 'p') + after;
  };
  // Up to the bound the answer is taken; one byte more, in an interim answer
  // or in the trailer (counted to its first line feed), fails it.
  for (const std::size_t past : {0, 1}) {
    const std::string interim = padded("HTTP/1.1 100 Continue\r\nX-Pad: ", kBound + past - head.size() - 2, "\r\n\r\n");
    const std::string trailer = padded("X-Pad: ", kBound + past - head.size(), "\r\n");
    for (const std::string& response : {interim + head + chunks + "\r\n", head + chunks + trailer + "\r\n"}) {
      for (const std::size_t piece : {response.size(), std::size_t{1000}}) {
        SCOPED_TRACE(testing::Message() << "past " << past << ", pieces of " << piece);
        Exchange exchange;
        for (std::size_t at = 0; at < response.size(); at += piece) {
          exchange.feed(std::string_view(response).substr(at, piece));
        }
        if (past == 0) {
          EXPECT_THAT(exchange.calls(), testing::UnorderedElementsAre("header", "body"));
          EXPECT_EQ(exchange.body(), "ok");
        } else {
          EXPECT_EQ(exchange.calls().back(), "failed");
          EXPECT_TRUE(exchange.events->errors.size() == 1 && isNotHTTPError(exchange.events->errors[0]));
        }
      }
    }
  }
}

TEST(ResponseAccumulatorTest, AChunkTooLargeForTheBodyFailsAsSoonAsItIsAnnounced) {
  // Past the body's cap, past 32 bits (never read as 0xFFFFFFFF), past 64 bits;
  // the last one after a first chunk.
  for (std::string_view sizes : {"4000001\r\n", "FFFFFFFF\r\n", "100000000\r\nabc", "1FFFFFFFFFFFFFFFF\r\n",
                                 "1\r\nx\r\n4000000;ext=1\r\n"}) {
    SCOPED_TRACE(sizes);
    Exchange exchange;
    EXPECT_FALSE(exchange.feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(sizes)));
    EXPECT_THAT(exchange.calls(), testing::ElementsAre("failed"));
    ASSERT_EQ(exchange.events->errors.size(), 1u);
    EXPECT_TRUE(isNotHTTPError(exchange.events->errors[0]));
  }
}

TEST(ResponseAccumulatorTest, ADelegateMayReleaseTheAccumulatorFromACallback) {
  struct Releasing : DQHTTPResponseAccumulatorDelegate {
    std::shared_ptr<DQHTTPResponseAccumulator> owned;
    void accumulatorDidFinishParsingHeader(DQHTTPResponseAccumulator&) override { owned.reset(); }
    void accumulatorDidFinishParsingBody(DQHTTPResponseAccumulator&) override { owned.reset(); }
    void accumulatorHeader(DQHTTPResponseAccumulator&, const platform::ErrorPtr&) override { owned.reset(); }
  };
  for (std::string_view response : {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n",
                                    "HTTP/1.1 200 OK\r\n\r\nbad\r\n", "nonsense"}) {
    const auto delegate = std::make_shared<Releasing>();
    delegate->owned = std::make_shared<DQHTTPResponseAccumulator>(nullptr);
    delegate->owned->setDelegate(delegate);
    const std::weak_ptr<DQHTTPResponseAccumulator> accumulator = delegate->owned;
    delegate->owned->appendData(bytesOf(response));
    EXPECT_TRUE(accumulator.expired()) << response;
  }
}

TEST(ResponseAccumulatorTest, OnlyAnAnswerCutAfterItsHeadOwesARestAndNoMoreThanABody) {
  const auto restAfter = [](std::string_view received, std::string_view method = "GET") {
    Exchange exchange(method);
    exchange.feed(received);
    return DQHTTPResponseRest::restOf(*exchange.accumulator);
  };
  // Not a head cut short, a complete or failed answer, an answer to HEAD, or
  // a body that no field frames.
  EXPECT_FALSE(restAfter("HTTP/1.1 200 OK\r\nContent-Len"));
  EXPECT_FALSE(restAfter(std::string(kHead) + "12345"));
  EXPECT_FALSE(restAfter("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nno size\r\n"));
  EXPECT_FALSE(restAfter(kHead, "HEAD"));
  EXPECT_FALSE(restAfter("HTTP/1.1 500 Jammed\r\n\r\n"));
  // A chunk announced past what a body may hold ends the rest after its size line.
  auto rest = restAfter("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n");
  ASSERT_TRUE(rest);
  EXPECT_EQ(textOf(rest->drop(bytesOf("ffffffff\r\nHTTP"))), "HTTP");
  EXPECT_TRUE(rest->isOver());
  EXPECT_FALSE(rest->wasAbandoned());
}

TEST(ResponseAccumulatorTest, ARestEndsWhereItsChunkFramingBreaksAndKeepsNoByteOfTheNextAnswer) {
  const auto restAfter = [](std::string_view body) {
    Exchange exchange;
    exchange.feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(body));
    return DQHTTPResponseRest::restOf(*exchange.accumulator);
  };
  // The printer dropped the rest and its next answer comes whole, or a few
  // bytes at a time: after a chunk's data where its line end is owed, or
  // where a size line is.
  for (const auto& [received, next] : {std::pair{"5\r\nhello", "HTTP/1.1 200 OK\r\n"},
                                       {"5\r\nhello", "H"},
                                       {"5\r\nhello\r\n", "HTTP/1.1 2"}}) {
    SCOPED_TRACE(received + std::string(" then ") + next);
    const auto rest = restAfter(received);
    ASSERT_TRUE(rest);
    EXPECT_EQ(textOf(rest->drop(bytesOf(next))), next);
    EXPECT_TRUE(rest->wasAbandoned());
  }
  // A rest that comes in pieces is dropped to the end of its body, not a
  // byte further.
  const auto rest = restAfter("5\r\nhel");
  const std::string owed = "lo\r\n3;x=y\r\nabc\r\n0\r\nX-Sum: 1\r\n";
  const std::string received = owed + "HTTP/1.1 200 OK\r\n\r\n";
  std::string after;
  for (std::size_t at = 0; at < received.size(); at += 3) {
    after += textOf(rest->drop(bytesOf(std::string_view(received).substr(at, 3))));
  }
  EXPECT_EQ(after, received.substr(owed.size()));
  EXPECT_TRUE(rest->isOver());
  EXPECT_FALSE(rest->wasAbandoned());
}

TEST(ResponseAccumulatorTest, ARestEndsWhereAStatusLineComesInItsPlaceWhereverThePiecesSplitIt) {
  const auto restAfter = [](std::string_view received) {
    Exchange exchange;
    exchange.feed(received);
    return DQHTTPResponseRest::restOf(*exchange.accumulator);
  };
  // Cut with 95 bytes of a body owed, or 59 of a chunk. The printer sends 10
  // bytes more of the rest, which only look like a status line's first
  // bytes, then moves on to its next answer.
  const std::string sized = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n12345";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n12345";
  const std::string next = "HTTP/1.1 200 OK\r\n";
  const std::string received = "HTTPS/ HTT" + next;
  for (const bool isSized : {true, false}) {
    for (std::size_t split = 0; split <= received.size(); ++split) {
      SCOPED_TRACE((isSized ? "sized | " : "chunked | ") + received.substr(0, split));
      const auto rest = restAfter(isSized ? sized : chunked);
      ASSERT_TRUE(rest);
      std::string after = textOf(rest->drop(bytesOf(std::string_view(received).substr(0, split))));
      after += textOf(rest->drop(bytesOf(std::string_view(received).substr(split))));
      EXPECT_EQ(after, next);
      EXPECT_TRUE(rest->wasAbandoned());
      EXPECT_EQ(rest->missingLength(), isSized ? 85u : 49u + 7);
      EXPECT_EQ(rest->isMissingLengthExact(), isSized);
    }
  }
  // A status line after the whole rest: the rest came, and the line follows it.
  const auto rest = restAfter(sized);
  EXPECT_EQ(textOf(rest->drop(bytesOf(std::string(95, 'd') + next))), next);
  EXPECT_TRUE(rest->isOver());
  EXPECT_FALSE(rest->wasAbandoned());
  EXPECT_EQ(rest->missingLength(), 0u);
}
