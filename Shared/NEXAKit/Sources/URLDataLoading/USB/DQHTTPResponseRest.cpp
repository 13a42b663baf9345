#include "DQHTTPResponseRest.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view kStatusLineStart = "HTTP/";

struct StatusLine {
  std::size_t at;  // the size of the bytes when none begins in them
  bool whole;      // false: the bytes end in its first bytes
};

// Where the first status line begins in `bytes`, or where they end in what
// may begin one.
StatusLine statusLineIn(std::span<const std::uint8_t> bytes) {
  const auto found = std::search(bytes.begin(), bytes.end(), kStatusLineStart.begin(), kStatusLineStart.end());
  if (found != bytes.end()) return {static_cast<std::size_t>(found - bytes.begin()), true};
  // Without a whole one, only the last few bytes can begin one.
  for (std::size_t at = bytes.size() - std::min(bytes.size(), kStatusLineStart.size() - 1); at < bytes.size(); ++at) {
    if (std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(), kStatusLineStart.begin())) {
      return {at, false};
    }
  }
  return {bytes.size(), false};
}

}  // namespace

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

platform::Data DQHTTPResponseRest::drop(std::span<const std::uint8_t> bytes) {
  if (isOver()) return platform::Data(bytes.begin(), bytes.end());
  platform::Data joined;
  if (!kept_.empty()) {
    joined = std::exchange(kept_, {});
    joined.insert(joined.end(), bytes.begin(), bytes.end());
    bytes = joined;
  }
  const auto line = statusLineIn(bytes);
  std::size_t taken = dropFramed(bytes.first(line.at));
  if (!isOver() && line.at < bytes.size()) {
    if (line.whole) {
      end_ = End::kAbandoned;
    } else if (framingTakesAnyByte()) {
      kept_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(line.at), bytes.end());
      taken = bytes.size();
    } else {
      // Where a size line or a chunk's line end is owed, the framing tells.
      taken += dropFramed(bytes.subspan(line.at));
    }
  }
  if (!isOver()) return {};
  return platform::Data(bytes.begin() + static_cast<std::ptrdiff_t>(taken), bytes.end());
}

std::size_t DQHTTPResponseRest::dropFramed(std::span<const std::uint8_t> bytes) {
  if (isOver() || bytes.empty()) return 0;
  if (!chunks_) {
    const auto taken = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes.size()));
    remaining_ -= taken;
    if (remaining_ == 0) end_ = End::kComplete;
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
      end_ = End::kComplete;
    }
  }
  dropped_ += taken;
  const auto state = chunks_->state();
  if (state == DQChunkedBodyParser::kFailed) {
    end_ = End::kAbandoned;
  } else if (state == DQChunkedBodyParser::kFinished || dropped_ > kMaximumLength) {
    end_ = End::kComplete;
  }
  return taken;
}

bool DQHTTPResponseRest::framingTakesAnyByte() const {
  if (!chunks_) return true;
  const auto state = chunks_->state();
  return state == DQChunkedBodyParser::kInChunkData || state == DQChunkedBodyParser::kExpectingBodyEnd;
}

std::uint64_t DQHTTPResponseRest::missingLength() const {
  if (end_ == End::kComplete) return 0;
  // Kept bytes came, whatever they turn out to be.
  const auto lessKept = [this](std::uint64_t length) { return length - std::min<std::uint64_t>(length, kept_.size()); };
  if (!chunks_) return lessKept(remaining_);
  // The chunk's data and line end, and the last chunk's size line and the
  // blank line after it; past the data, the line feed that ends the body.
  if (chunks_->state() != DQChunkedBodyParser::kInChunkData) return 1;
  return std::max<std::uint64_t>(1, lessKept(chunks_->remainingChunkBytes() + 7));
}
