#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "DQChunkedBodyParser.h"
#include "DQChunkedBodyParserDelegate.h"
#include "DQHTTPResponseAccumulatorDelegate.h"
#include "Values/Dictionary.h"
#include "Http/HttpMessage.h"
#include "Http/HttpResponseParser.h"
#include "IDQHTTPStream.h"
#include "Values/Object.h"
#include "Values/Value.h"

// Builds one HTTP response from the bytes a printer sends over a USB pipe, in
// whatever pieces they come: the head, then a body framed by Content-Length,
// by chunked transfer coding, or not at all (an answer to HEAD, a 101, 204 or
// 304). Interim answers (100 Continue and the other 1xx but 101) are dropped
// and the answer after them is parsed. What the printer claims is bounded:
// the head, with the heads of the interim answers before it and the trailer
// of a chunked body, to 64 KiB together; a chunk-size line to 1 KiB; the body
// to 64 MiB (a chunk announced past it fails at once). Made with make_shared
// (it is its chunked parser's delegate) and used on one thread.
class DQHTTPResponseAccumulator : public platform::Object, public DQChunkedBodyParserDelegate {
 public:
  // The expected length until a header sets it.
  static constexpr std::uint64_t kUnknownContentLength = 0x7FFFFFFFFFFFFFFF;
  static constexpr std::uint64_t kMaximumBodyLength = IDQHTTPStream::kMaximumBodyLength;
  // The most bytes of heads (interim answers' and the answer's) and trailer.
  static constexpr std::uint64_t kMaximumHeadLength = platform::HttpResponseParser::kMaximumHeadLength;

  // Keeps the request's method; `request` may be null.
  explicit DQHTTPResponseAccumulator(const platform::HttpMessage* request);

  // Takes the next bytes of the response. False, and nothing is done, once the
  // response is complete or has failed; false too for bytes that fail it.
  bool appendData(std::span<const std::uint8_t> data);
  bool appendHeaderData(std::span<const std::uint8_t> data);
  bool appendBodyData(std::span<const std::uint8_t> data);

  // A field of the response head, its name compared ignoring case; nullopt
  // before the head is complete.
  std::optional<std::string> headerFieldForKey(std::string_view name) const;
  const platform::Data& body() const { return responseBody_; }

  bool isWaitingForData() const { return waitingForData_; }
  bool isHeaderComplete() const { return headerComplete_; }
  // Not owned.
  std::weak_ptr<DQHTTPResponseAccumulatorDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<DQHTTPResponseAccumulatorDelegate> delegate) { delegate_ = std::move(delegate); }
  std::int64_t statusCode() const { return statusCode_; }
  // An empty response until the head is complete.
  const std::shared_ptr<platform::HttpMessage>& responseMessage() const { return responseMessage_; }
  const platform::Dictionary& responseHeader() const { return responseHeader_; }
  const std::optional<std::string>& requestMethod() const { return requestMethod_; }
  const platform::Data& responseBody() const { return responseBody_; }
  std::uint64_t expectedContentLength() const { return expectedContentLength_; }
  const std::shared_ptr<DQChunkedBodyParser>& chunkedBodyParser() const { return chunkedBodyParser_; }

  // DQChunkedBodyParserDelegate
  void parser(DQChunkedBodyParser& parser, std::span<const std::uint8_t> didParseData) override;
  void parserDidFinish(DQChunkedBodyParser& parser) override;
  void parser(DQChunkedBodyParser& parser, const platform::ErrorPtr& didEncounterError) override;

 private:
  // Reads the framing of the body from the complete head; false when the
  // head cannot frame one.
  bool readBodyFraming();
  // An answer to HEAD has no body, whatever its fields say.
  bool isHeadRequest() const;
  // Whether the heads and the trailer read so far are past their bound.
  bool isPastHeadBound() const;
  void finishBody();
  void fail(const platform::ErrorPtr& error);

  bool waitingForData_ = true;
  bool headerComplete_ = false;
  bool failed_ = false;
  std::weak_ptr<DQHTTPResponseAccumulatorDelegate> delegate_;
  std::int64_t statusCode_ = 0;
  platform::HttpResponseParser headParser_;
  std::uint64_t headLength_ = 0;  // bytes of the heads parsed so far, interim answers' included
  std::shared_ptr<platform::HttpMessage> responseMessage_;
  platform::Dictionary responseHeader_;
  std::optional<std::string> requestMethod_;
  platform::Data responseBody_;
  std::uint64_t expectedContentLength_ = kUnknownContentLength;
  std::shared_ptr<DQChunkedBodyParser> chunkedBodyParser_;
};
