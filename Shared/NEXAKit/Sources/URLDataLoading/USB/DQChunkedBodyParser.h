#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "DQChunkedBodyParserDelegate.h"
#include "Errors/Error.h"
#include "Values/Object.h"
#include "Values/Value.h"

// An incremental decoder of a chunked HTTP body, fed in pieces of any size.
// It keeps what it cannot decide yet (a partial size line, or the CR of a
// chunk's CRLF) until the next piece, and reports decoded bytes, the
// end and failures to its delegate. Used on one thread.
class DQChunkedBodyParser : public platform::Object {
 public:
  enum State : std::int64_t {
    kExpectingChunkSize = 0,
    kInChunkData = 1,
    kExpectingChunkEnd = 2,  // the CRLF after a chunk's data
    kExpectingBodyEnd = 3,   // after the last chunk, up to the line feed that ends the body
    kFinished = 4,
    kFailed = 5,
  };
  enum class HeaderResult { kParsed = 0, kIncomplete = 1, kBad = 2 };

  static constexpr const char* kErrorDomain = "com.zarn.NEXAKit.ChunkedBodyParserError";
  static constexpr const char* kErrorDataKey = "com.zarn.NEXAKit.ChunkedBodyParserErrorData";
  static constexpr const char* kErrorPositionKey = "com.zarn.NEXAKit.ChunkedBodyParserErrorPosition";
  static constexpr std::int64_t kBadChunkSizeError = 1;
  static constexpr std::int64_t kMissingChunkEndError = 2;
  // A size line, extensions and line feed included, may not be longer.
  static constexpr std::size_t kMaximumSizeLineLength = 1024;

  // Not owned: the parser never keeps its delegate alive.
  std::weak_ptr<DQChunkedBodyParserDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<DQChunkedBodyParserDelegate> delegate) { delegate_ = std::move(delegate); }
  // The length the last size line announced, and what of it is still to come.
  std::uint64_t chunkLength() const { return chunkLength_; }
  std::uint64_t remainingChunkBytes() const { return remainingChunkBytes_; }
  State state() const { return state_; }
  // The bytes after the last chunk's size line read so far, up to and with
  // the line feed that ends the body.
  std::uint64_t trailerLength() const { return trailerLength_; }

  // Decodes as far as the bytes go; results come only through the delegate.
  // Answers how many bytes of `data` belong to the body: all of them while it
  // goes on (those kept for the next piece included), up to the line feed
  // that ends it once it finished, and those before where its framing broke
  // once it failed (none when it broke in bytes kept from an earlier piece,
  // which were counted with that piece). Does nothing and answers 0 once
  // finished or failed.
  std::size_t appendData(std::span<const std::uint8_t> data);

  // A parser in the same state, bytes kept included, without a delegate.
  std::shared_ptr<platform::Object> copy() const override;

  // Reads one chunk-size line: hexadecimal, blanks before it and "0x"
  // accepted, extensions after it ignored; the size is read in full (past 64
  // bits it saturates), never cut to 32 bits. kBad for a line without a
  // number, with bytes that are not ASCII, or longer than
  // kMaximumSizeLineLength, as soon as the bytes show it (a first byte after
  // the blanks that is no hexadecimal digit needs no line feed);
  // kIncomplete while no line feed has come otherwise.
  static HeaderResult parseHeader(std::span<const std::uint8_t> bytes, std::size_t* headerLength,
                                  std::uint64_t* chunkLength);

  // An error of the parser's domain; the user info holds a copy of `data` and
  // the position when `data` is not empty.
  static platform::ErrorPtr errorWithCode(std::int64_t code, std::span<const std::uint8_t> data, std::uint64_t position);

 private:
  // Parses one buffer from its start; `piece` is the caller's data, for
  // errors. Answers where in the buffer it stopped: its end while the body
  // goes on, else just past the body or where the framing broke.
  std::size_t parse(std::span<const std::uint8_t> buffer, std::span<const std::uint8_t> piece);
  void fail(std::int64_t code, std::span<const std::uint8_t> piece, std::size_t position);
  void finish();

  std::weak_ptr<DQChunkedBodyParserDelegate> delegate_;
  std::uint64_t chunkLength_ = 0;
  std::uint64_t remainingChunkBytes_ = 0;
  platform::Data data_;  // bytes kept from the previous piece
  State state_ = kExpectingChunkSize;
  std::uint64_t trailerLength_ = 0;
};
