#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "DQChunkedBodyParser.h"
#include "DQHTTPResponseAccumulator.h"
#include "Values/Object.h"

// What a printer still owes of an answer whose exchange ended after its head
// came and before its body did: the bytes its Content-Length still counts,
// or its chunks up to the end of the body, read as the accumulator reads
// them (the body ends at the first line end after the last chunk). A later
// exchange drops them before it takes its own answer. The rest is bounded as
// a body is: once it has dropped, or a chunk announces, more than a body and
// a head may hold, it is over. Used on one thread at a time.
class DQHTTPResponseRest : public platform::Object {
 public:
  static constexpr std::uint64_t kMaximumLength =
      DQHTTPResponseAccumulator::kMaximumBodyLength + DQHTTPResponseAccumulator::kMaximumHeadLength;

  // The rest of the accumulator's answer; nullptr unless its head is
  // complete, its body is framed by Content-Length or chunked transfer
  // coding, and that body is not complete.
  static std::shared_ptr<DQHTTPResponseRest> restOf(const DQHTTPResponseAccumulator& accumulator);

  // Drops the bytes of the rest at the front of `bytes` and answers how many
  // they were: all of them while the rest goes on. Chunk framing that breaks
  // ends the rest where the broken line or line end begins, so that the bytes
  // from there on (the printer's next answer, when it dropped the rest) are
  // not lost.
  std::size_t drop(std::span<const std::uint8_t> bytes);
  bool isComplete() const { return complete_; }

 private:
  bool complete_ = false;
  std::uint64_t remaining_ = 0;                  // what Content-Length still counts
  std::shared_ptr<DQChunkedBodyParser> chunks_;  // where the chunks were cut, without a delegate
  std::uint64_t dropped_ = 0;
};
