#include "DQHTTPResponseRest.h"

#include <algorithm>

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
  std::size_t taken = chunks_->appendData(bytes);
  if (chunks_->state() == DQChunkedBodyParser::kInChunkData) {
    // A chunk announced in this call past the bound ends the rest after its
    // size line: the data of it that the call took goes back. One that began
    // before passed this check then, or was bounded by the accumulator.
    const std::uint64_t ofTheChunk = chunks_->chunkLength() - chunks_->remainingChunkBytes();
    const std::uint64_t beforeTheChunk = dropped_ + taken - ofTheChunk;
    if (ofTheChunk <= taken && beforeTheChunk <= kMaximumLength &&
        chunks_->chunkLength() > kMaximumLength - beforeTheChunk) {
      taken -= static_cast<std::size_t>(ofTheChunk);
      complete_ = true;
    }
  }
  dropped_ += taken;
  const auto state = chunks_->state();
  complete_ = complete_ || state == DQChunkedBodyParser::kFinished || state == DQChunkedBodyParser::kFailed ||
              dropped_ > kMaximumLength;
  return taken;
}
