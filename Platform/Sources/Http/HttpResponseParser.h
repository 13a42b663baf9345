#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "Http/HttpMessage.h"

namespace platform {

// An incremental parser of an HTTP/1.x response head (status line and header
// fields), fed in pieces of any size as they come off a byte stream, that
// yields the response as an HttpMessage. Lines end in CRLF or a bare LF; an
// empty line ends the head. What is not HTTP is refused as early as it can be
// told: a start other than "HTTP/", a bad status line or field line, or a head
// longer than kMaximumHeadLength. Used on one thread.
class HttpResponseParser {
 public:
  static constexpr std::size_t kMaximumHeadLength = 64 * 1024;

  enum class State { kIncomplete, kComplete, kInvalid };

  // Takes the next bytes and returns how many of them belong to the head;
  // once it is complete the rest are the start of the body. Takes nothing once
  // complete or invalid.
  std::size_t append(std::span<const std::uint8_t> bytes);

  State state() const { return state_; }
  bool isComplete() const { return state_ == State::kComplete; }
  bool isInvalid() const { return state_ == State::kInvalid; }

  // The response, with its fields in the order received and no body; nullptr
  // until the head is complete. Continuation lines are joined to their field
  // by one blank, as RFC 9112 asks of a recipient of a response.
  const std::shared_ptr<HttpMessage>& message() const { return message_; }

 private:
  bool parseHead();
  bool parseStatusLine(std::string_view line);
  bool parseFieldLine(std::string_view line);

  State state_ = State::kIncomplete;
  std::string head_;           // the bytes of the head received so far
  std::size_t lineStart_ = 0;  // where the line not yet ended starts in head_
  std::shared_ptr<HttpMessage> message_;
  HttpMessage::Field pending_;  // the field read last, which continuation lines may extend
};

}  // namespace platform
