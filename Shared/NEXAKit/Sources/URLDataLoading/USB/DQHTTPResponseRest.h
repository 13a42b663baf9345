#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "DQChunkedBodyParser.h"
#include "DQHTTPResponseAccumulator.h"
#include "Values/Object.h"
#include "Values/Value.h"

// What a printer still owes of an answer whose exchange ended after its head
// came and before its body did: the bytes its Content-Length still counts,
// or its chunks up to the end of the body, read as the accumulator reads
// them (the body ends at the first line end after the last chunk). A later
// exchange drops them before it takes its own answer. The rest is bounded as
// a body is: once it has dropped, or a chunk announces, more than a body and
// a head may hold, it is over. It is over as well where the printer moved on
// without sending all of it: where its chunk framing breaks, or where bytes
// that begin a status line ("HTTP/") come in its place, even inside a body
// (a body that holds such bytes there cannot be told from a printer that
// dropped the rest). Used on one thread at a time.
class DQHTTPResponseRest : public platform::Object {
 public:
  static constexpr std::uint64_t kMaximumLength =
      DQHTTPResponseAccumulator::kMaximumBodyLength + DQHTTPResponseAccumulator::kMaximumHeadLength;

  // The rest of the accumulator's answer; nullptr unless its head is
  // complete, its body is framed by Content-Length or chunked transfer
  // coding, and that body is not complete.
  static std::shared_ptr<DQHTTPResponseRest> restOf(const DQHTTPResponseAccumulator& accumulator);

  // Takes the next bytes the printer sent and answers those that follow the
  // rest: none while it goes on, all of them once it is over. Bytes at the
  // end of a piece that may begin a status line, where the framing cannot
  // tell, are kept until the next piece decides; when they do begin one,
  // they are answered with it.
  platform::Data drop(std::span<const std::uint8_t> bytes);
  bool isOver() const { return end_ != End::kNone; }
  // Whether the printer moved on before all of the rest came.
  bool wasAbandoned() const { return end_ == End::kAbandoned; }
  // What of the rest has not come: exactly for Content-Length, at least for
  // chunks (the data and line end of the chunk being cut and the last chunk;
  // a byte once past the chunks' data).
  std::uint64_t missingLength() const;
  bool isMissingLengthExact() const { return !chunks_; }

 private:
  enum class End { kNone, kComplete, kAbandoned };
  // Drops what the framing takes of `bytes`; answers how many that was.
  std::size_t dropFramed(std::span<const std::uint8_t> bytes);
  // Whether the framing takes whatever byte comes next (so it cannot tell a
  // status line).
  bool framingTakesAnyByte() const;

  End end_ = End::kNone;
  std::uint64_t remaining_ = 0;                  // what Content-Length still counts
  std::shared_ptr<DQChunkedBodyParser> chunks_;  // where the chunks were cut, without a delegate
  std::uint64_t dropped_ = 0;
  platform::Data kept_;  // the end of the last piece, which may begin a status line
};
