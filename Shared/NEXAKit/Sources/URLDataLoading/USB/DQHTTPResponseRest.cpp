#include "DQHTTPResponseRest.h"

#include <algorithm>
#include <cstring>

std::shared_ptr<DQHTTPResponseRest> DQHTTPResponseRest::restOf(const DQHTTPResponseAccumulator& accumulator) {
  if (!accumulator.isHeaderComplete() || !accumulator.isWaitingForData()) return nullptr;
  auto rest = std::make_shared<DQHTTPResponseRest>();
  if (const auto& parser = accumulator.chunkedBodyParser()) {
    // Without framing fields the accumulator reads the body as chunks, but
    // nothing announced any: nothing is owed.
    if (!accumulator.responseMessage()->isChunked()) return nullptr;
    rest->chunks_ = std::static_pointer_cast<DQChunkedBodyParser>(parser->copy());
  } else {
    rest->remaining_ = accumulator.expectedContentLength() - accumulator.body().size();
  }
  return rest;
}

std::size_t DQHTTPResponseRest::drop(std::span<const std::uint8_t> bytes) {
  if (complete_) return 0;
  if (!chunks_) {
    const auto taken = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes.size()));
    remaining_ -= taken;
    complete_ = remaining_ == 0;
    return taken;
  }
  // The parser is fed a step at a time (a line, a chunk's data, one byte of
  // the line end after it), so that it stops exactly where the body ends or
  // its framing breaks.
  std::size_t taken = 0;
  while (!complete_ && taken < bytes.size()) {
    const auto rest = bytes.subspan(taken);
    std::size_t step = 1;
    switch (chunks_->state()) {
      case DQChunkedBodyParser::kInChunkData:
        step = static_cast<std::size_t>(std::min<std::uint64_t>(chunks_->remainingChunkBytes(), rest.size()));
        break;
      case DQChunkedBodyParser::kExpectingChunkSize:
      case DQChunkedBodyParser::kExpectingBodyEnd: {
        const auto* lineFeed = static_cast<const std::uint8_t*>(std::memchr(rest.data(), '\n', rest.size()));
        step = lineFeed ? static_cast<std::size_t>(lineFeed - rest.data()) + 1 : rest.size();
        break;
      }
      default:
        break;
    }
    chunks_->appendData(rest.first(step));
    if (chunks_->state() == DQChunkedBodyParser::kFailed) {
      complete_ = true;
      break;
    }
    taken += step;
    dropped_ += step;
    const std::uint64_t announced =
        chunks_->state() == DQChunkedBodyParser::kInChunkData ? chunks_->remainingChunkBytes() : 0;
    complete_ = chunks_->state() == DQChunkedBodyParser::kFinished || dropped_ > kMaximumLength ||
                announced > kMaximumLength - dropped_;
  }
  return taken;
}
