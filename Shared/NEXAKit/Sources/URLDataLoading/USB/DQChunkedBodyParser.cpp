#include "DQChunkedBodyParser.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "DQLog.h"

namespace {

bool endsWithBlankLine(std::span<const std::uint8_t> buffer) {
  static constexpr std::uint8_t kCRLFCRLF[] = {'\r', '\n', '\r', '\n'};
  return buffer.size() >= 4 && std::memcmp(buffer.data() + buffer.size() - 4, kCRLFCRLF, 4) == 0;
}

// The bytes of a trailer's first line, its line feed included; all of them
// when none has come.
std::size_t firstLineLength(std::span<const std::uint8_t> bytes) {
  const auto* lineFeed = static_cast<const std::uint8_t*>(std::memchr(bytes.data(), '\n', bytes.size()));
  return lineFeed ? static_cast<std::size_t>(lineFeed - bytes.data()) + 1 : bytes.size();
}

}  // namespace

std::size_t DQChunkedBodyParser::appendData(std::span<const std::uint8_t> data) {
  if (state_ == kFinished || state_ == kFailed) return 0;
  // A delegate may let go of this parser from one of its calls.
  const auto self = weak_from_this().lock();
  if (data_.empty()) return parse(data, data);
  platform::Data buffer = std::exchange(data_, {});
  const std::size_t kept = buffer.size();
  buffer.insert(buffer.end(), data.begin(), data.end());
  const std::size_t stopped = parse(buffer, data);
  return stopped > kept ? stopped - kept : 0;
}

std::shared_ptr<platform::Object> DQChunkedBodyParser::copy() const {
  auto made = std::make_shared<DQChunkedBodyParser>(*this);
  made->delegate_.reset();
  return made;
}

std::size_t DQChunkedBodyParser::parse(std::span<const std::uint8_t> buffer, std::span<const std::uint8_t> piece) {
  std::size_t position = 0;
  while (position < buffer.size() && state_ != kFinished && state_ != kFailed) {
    const auto rest = buffer.subspan(position);
    switch (state_) {
      case kExpectingChunkSize: {
        std::size_t headerLength = 0;
        std::uint64_t chunkLength = 0;
        switch (parseHeader(rest, &headerLength, &chunkLength)) {
          case HeaderResult::kIncomplete:
            data_.assign(rest.begin(), rest.end());
            position = buffer.size();
            break;
          case HeaderResult::kBad:
            com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQChunkedBodyParser] - Error in data header, position: %zd",
                                         position);
            fail(kBadChunkSizeError, piece, position);
            break;
          case HeaderResult::kParsed:
            position += headerLength;
            chunkLength_ = chunkLength;
            if (chunkLength > 0) {
              remainingChunkBytes_ = chunkLength;
              state_ = kInChunkData;
            } else if (rest.size() >= 5 && endsWithBlankLine(buffer)) {
              trailerLength_ = firstLineLength(rest.subspan(headerLength));
              position += trailerLength_;
              finish();
            } else {
              state_ = kExpectingBodyEnd;
            }
            break;
        }
        break;
      }
      case kInChunkData: {
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(remainingChunkBytes_, rest.size()));
        remainingChunkBytes_ -= length;
        if (remainingChunkBytes_ == 0) state_ = kExpectingChunkEnd;
        position += length;
        if (const auto delegate = delegate_.lock()) delegate->parser(*this, rest.first(length));
        break;
      }
      case kExpectingChunkEnd:
        if (rest[0] == '\r' && rest.size() == 1) {
          data_.assign(rest.begin(), rest.end());
          position += 1;
        } else if (rest[0] == '\r' && rest[1] == '\n') {
          position += 2;
          state_ = kExpectingChunkSize;
        } else {
          com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQChunkedBodyParser] - Error in data trailer, position: %zd",
                                       position);
          fail(kMissingChunkEndError, piece, position);
        }
        break;
      case kExpectingBodyEnd: {
        // Trailer lines are read and dropped; the first line feed ends the body.
        const std::size_t length = firstLineLength(rest);
        trailerLength_ += length;
        position += length;
        if (length > 0 && rest[length - 1] == '\n') finish();
        break;
      }
      case kFinished:
      case kFailed:
        break;
    }
  }
  return position;
}

void DQChunkedBodyParser::fail(std::int64_t code, std::span<const std::uint8_t> piece, std::size_t position) {
  state_ = kFailed;
  data_.clear();
  if (const auto delegate = delegate_.lock()) delegate->parser(*this, errorWithCode(code, piece, position));
}

void DQChunkedBodyParser::finish() {
  state_ = kFinished;
  data_.clear();
  if (const auto delegate = delegate_.lock()) delegate->parserDidFinish(*this);
}

DQChunkedBodyParser::HeaderResult DQChunkedBodyParser::parseHeader(std::span<const std::uint8_t> bytes,
                                                                  std::size_t* headerLength,
                                                                  std::uint64_t* chunkLength) {
  if (bytes.empty()) return HeaderResult::kIncomplete;
  const std::size_t searched = std::min(bytes.size(), kMaximumSizeLineLength);
  const auto* lineFeed = static_cast<const std::uint8_t*>(std::memchr(bytes.data(), '\n', searched));
  if (!lineFeed && bytes.size() >= kMaximumSizeLineLength) return HeaderResult::kBad;
  // Without its line feed, the line so far.
  const auto line = lineFeed ? bytes.first(static_cast<std::size_t>(lineFeed - bytes.data()) + 1) : bytes;
  if (std::any_of(line.begin(), line.end(), [](std::uint8_t byte) { return byte >= 0x80; })) {
    return HeaderResult::kBad;
  }
  // Read in full, never cut to 32 bits: a size that no body may have is
  // refused by the accumulator as soon as it is announced. The first byte
  // after the blanks decides whether there is a number.
  const std::string_view text(reinterpret_cast<const char*>(line.data()), line.size());
  const auto size = platform::stringHexLongLongValue(text);
  if (!lineFeed) {
    const bool onlyBlanks = text.find_first_not_of(" \t\r\f\v") == std::string_view::npos;
    return size || onlyBlanks ? HeaderResult::kIncomplete : HeaderResult::kBad;
  }
  if (!size) return HeaderResult::kBad;
  if (headerLength) *headerLength = line.size();
  if (chunkLength) *chunkLength = *size;
  return HeaderResult::kParsed;
}

platform::ErrorPtr DQChunkedBodyParser::errorWithCode(std::int64_t code, std::span<const std::uint8_t> data,
                                                      std::uint64_t position) {
  platform::Dictionary userInfo;
  if (!data.empty()) {
    userInfo.set(kErrorDataKey, platform::Data(data.begin(), data.end()));
    userInfo.set(kErrorPositionKey, position);
  }
  return platform::Error::make(kErrorDomain, code, std::move(userInfo));
}
