#include "DQHTTPResponseAccumulator.h"

#include <glib.h>

#include <algorithm>

#include "DQHTTPStreamError.h"

namespace {

// An interim answer (100 Continue, 102, 103): the real one follows it. 101
// switches protocols and is the last answer in HTTP.
bool isInterimStatus(std::int64_t status) { return status >= 100 && status < 200 && status != 101; }

}  // namespace

DQHTTPResponseAccumulator::DQHTTPResponseAccumulator(const platform::HttpMessage* request)
    : responseMessage_(platform::HttpMessage::makeResponse(0)) {
  if (request) requestMethod_ = request->method();
}

bool DQHTTPResponseAccumulator::appendData(std::span<const std::uint8_t> data) {
  if (!waitingForData_) return false;
  // A delegate may let go of this accumulator from one of its calls.
  const auto self = weak_from_this().lock();
  return headerComplete_ ? appendBodyData(data) : appendHeaderData(data);
}

bool DQHTTPResponseAccumulator::appendHeaderData(std::span<const std::uint8_t> data) {
  if (!waitingForData_ || headerComplete_) return false;
  std::size_t headLength = headParser_.append(data);
  headLength_ += headLength;
  // Interim answers are dropped with their heads; the next head is parsed.
  // Their bytes count against the bound of the answer's head, so that a
  // printer cannot send them for ever.
  while (headParser_.isComplete() && isInterimStatus(headParser_.message()->statusCode()) && !isPastHeadBound()) {
    headParser_ = platform::HttpResponseParser();
    const std::size_t taken = headParser_.append(data.subspan(headLength));
    headLength += taken;
    headLength_ += taken;
  }
  if (headParser_.isInvalid() || isPastHeadBound()) {
    fail(DQHTTPStreamError::errorWithCode(DQHTTPStreamError::kNotHTTP));
    return false;
  }
  if (!headParser_.isComplete()) return true;

  headerComplete_ = true;
  responseMessage_ = headParser_.message();
  statusCode_ = responseMessage_->statusCode();
  responseHeader_ = responseMessage_->allHeaderFields();
  if (!readBodyFraming()) {
    fail(DQHTTPStreamError::errorWithCode(DQHTTPStreamError::kNotHTTP));
    return false;
  }
  // The bytes past the head may hold the whole body, which is then reported
  // before the header.
  appendBodyData(data.subspan(headLength));
  if (failed_) return false;
  if (const auto delegate = delegate_.lock()) delegate->accumulatorDidFinishParsingHeader(*this);
  return true;
}

bool DQHTTPResponseAccumulator::readBodyFraming() {
  const auto contentLength = headerFieldForKey("Content-Length");
  std::optional<std::uint64_t> length;
  if (contentLength) {
    length = platform::HttpMessage::contentLengthValue(*contentLength);
    if (!length) return false;
  }
  expectedContentLength_ = length.value_or(0);
  if (isHeadRequest()) return true;
  if (platform::HttpMessage::statusHasNoBody(static_cast<int>(statusCode_))) {
    expectedContentLength_ = 0;
    return true;
  }
  if (!contentLength || responseMessage_->isChunked()) {
    chunkedBodyParser_ = std::make_shared<DQChunkedBodyParser>();
    chunkedBodyParser_->setDelegate(sharedAs<DQHTTPResponseAccumulator>());
    return true;
  }
  return expectedContentLength_ <= kMaximumBodyLength;
}

bool DQHTTPResponseAccumulator::appendBodyData(std::span<const std::uint8_t> data) {
  if (!waitingForData_ || !headerComplete_) return false;
  if (isHeadRequest()) {
    finishBody();
  } else if (chunkedBodyParser_) {
    chunkedBodyParser_->appendData(data);
    // A chunk announced larger than the body may still grow fails at once,
    // not once that much has come (with data of it, the data callback saw to it).
    if (waitingForData_ && chunkedBodyParser_->state() == DQChunkedBodyParser::kInChunkData &&
        chunkedBodyParser_->remainingChunkBytes() > kMaximumBodyLength - responseBody_.size()) {
      fail(DQHTTPStreamError::errorWithCode(DQHTTPStreamError::kNotHTTP));
    }
    // A trailer without end fails once it passes the bound of a head.
    if (waitingForData_ && chunkedBodyParser_->state() == DQChunkedBodyParser::kExpectingBodyEnd &&
        isPastHeadBound()) {
      fail(DQHTTPStreamError::errorWithCode(DQHTTPStreamError::kNotHTTP));
    }
  } else {
    const std::uint64_t missing = expectedContentLength_ - responseBody_.size();
    const auto taken = static_cast<std::size_t>(std::min<std::uint64_t>(missing, data.size()));
    responseBody_.insert(responseBody_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
    if (taken == missing) finishBody();  // bytes past the length are dropped
  }
  return !failed_;
}

bool DQHTTPResponseAccumulator::isHeadRequest() const {
  return requestMethod_ && g_ascii_strcasecmp(requestMethod_->c_str(), "HEAD") == 0;
}

bool DQHTTPResponseAccumulator::isPastHeadBound() const {
  const std::uint64_t trailer = chunkedBodyParser_ ? chunkedBodyParser_->trailerLength() : 0;
  return headLength_ + trailer > kMaximumHeadLength;
}

std::optional<std::string> DQHTTPResponseAccumulator::headerFieldForKey(std::string_view name) const {
  if (!headerComplete_ || name.empty()) return std::nullopt;
  return responseMessage_->headerField(name);
}

void DQHTTPResponseAccumulator::parser(DQChunkedBodyParser& parser, std::span<const std::uint8_t> data) {
  if (!waitingForData_) return;
  // The parser has counted this piece off its chunk already: what the chunk
  // still announces must fit as well, or none of it is kept.
  const std::uint64_t kept = responseBody_.size() + data.size();
  if (kept > kMaximumBodyLength || parser.remainingChunkBytes() > kMaximumBodyLength - kept) {
    fail(DQHTTPStreamError::errorWithCode(DQHTTPStreamError::kNotHTTP));
    return;
  }
  responseBody_.insert(responseBody_.end(), data.begin(), data.end());
}

void DQHTTPResponseAccumulator::parserDidFinish(DQChunkedBodyParser&) {
  if (!waitingForData_) return;
  // The trailer's end may come in the piece that took it past the bound.
  if (isPastHeadBound()) {
    fail(DQHTTPStreamError::errorWithCode(DQHTTPStreamError::kNotHTTP));
  } else {
    finishBody();
  }
}

void DQHTTPResponseAccumulator::parser(DQChunkedBodyParser&, const platform::ErrorPtr& error) {
  if (waitingForData_) fail(error);
}

void DQHTTPResponseAccumulator::finishBody() {
  waitingForData_ = false;
  if (const auto delegate = delegate_.lock()) delegate->accumulatorDidFinishParsingBody(*this);
}

void DQHTTPResponseAccumulator::fail(const platform::ErrorPtr& error) {
  waitingForData_ = false;
  failed_ = true;
  if (const auto delegate = delegate_.lock()) delegate->accumulatorHeader(*this, error);
}
