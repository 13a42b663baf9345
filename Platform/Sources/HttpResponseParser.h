#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// An incremental parser of an HTTP/1.x response head (status line and header
// fields), fed in pieces of any size as they come off a byte stream. Lines
// end in CRLF or a bare LF; an empty line ends the head. What is not HTTP is
// refused as early as it can be told: a start other than "HTTP/", a bad status
// line or field line, or a head longer than kMaximumHeadLength. Used on one
// thread.
class HttpResponseParser {
 public:
  static constexpr std::size_t kMaximumHeadLength = 64 * 1024;

  enum class State { kIncomplete, kComplete, kInvalid };
  using Field = std::pair<std::string, std::string>;  // name as received, value without outer blanks

  // Takes the next bytes and returns how many of them belong to the head;
  // once it is complete the rest are the start of the body. Takes nothing once
  // complete or invalid.
  std::size_t append(std::span<const std::uint8_t> bytes);

  State state() const { return state_; }
  bool isComplete() const { return state_ == State::kComplete; }
  bool isInvalid() const { return state_ == State::kInvalid; }

  // Read once complete. Continuation lines are joined to their field by one
  // blank, as RFC 9112 asks of a recipient of a response.
  const std::string& version() const { return version_; }  // "HTTP/1.1"
  int statusCode() const { return statusCode_; }
  const std::string& reasonPhrase() const { return reasonPhrase_; }
  const std::vector<Field>& fields() const { return fields_; }

 private:
  bool parseHead();
  bool parseStatusLine(std::string_view line);
  bool parseFieldLine(std::string_view line);

  State state_ = State::kIncomplete;
  std::string head_;           // the bytes of the head received so far
  std::size_t lineStart_ = 0;  // where the line not yet ended starts in head_
  std::string version_;
  int statusCode_ = 0;
  std::string reasonPhrase_;
  std::vector<Field> fields_;
};

}  // namespace platform
