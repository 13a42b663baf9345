#include "Http/HttpResponseParser.h"

#include <glib.h>

#include <algorithm>
#include <string_view>

namespace platform {
namespace {

constexpr std::string_view kProtocolName = "HTTP/";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::size_t HttpResponseParser::append(std::span<const std::uint8_t> bytes) {
  if (state_ != State::kIncomplete || bytes.empty()) return 0;
  const std::size_t before = head_.size();
  // Never hold more than the longest head allowed, plus one byte to tell.
  const std::size_t taken = std::min(bytes.size(), kMaximumHeadLength + 1 - before);
  head_.append(reinterpret_cast<const char*>(bytes.data()), taken);

  // Refuse early what does not start like a response.
  const std::size_t prefix = std::min(head_.size(), kProtocolName.size());
  if (head_.compare(0, prefix, kProtocolName, 0, prefix) != 0) {
    state_ = State::kInvalid;
    return taken;
  }
  for (std::size_t lineFeed = head_.find('\n', before); lineFeed != std::string::npos;
       lineFeed = head_.find('\n', lineStart_)) {
    const bool emptyLine = lineFeed == lineStart_ || (lineFeed == lineStart_ + 1 && head_[lineStart_] == '\r');
    lineStart_ = lineFeed + 1;
    if (!emptyLine) continue;
    head_.resize(lineStart_);
    state_ = lineStart_ <= kMaximumHeadLength && parseHead() ? State::kComplete : State::kInvalid;
    return lineStart_ - before;
  }
  if (head_.size() > kMaximumHeadLength) state_ = State::kInvalid;
  return taken;
}

bool HttpResponseParser::parseHead() {
  std::string_view head = head_;
  bool first = true;
  while (!head.empty()) {
    const std::size_t lineFeed = head.find('\n');
    std::string_view line = head.substr(0, lineFeed);
    head.remove_prefix(lineFeed + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // the end of the head
    if (first ? !parseStatusLine(line) : !parseFieldLine(line)) return false;
    first = false;
  }
  if (!pending_.first.empty() && !message_->addHeaderField(pending_.first, pending_.second)) return false;
  head_.clear();
  head_.shrink_to_fit();
  return true;
}

bool HttpResponseParser::parseStatusLine(std::string_view line) {
  // HTTP/d.d SP ddd [SP reason]
  constexpr std::size_t kVersionLength = 8;
  if (line.size() < kVersionLength + 4 || !g_ascii_isdigit(line[5]) || line[6] != '.' || !g_ascii_isdigit(line[7]) ||
      line[8] != ' ') {
    return false;
  }
  const std::string_view code = line.substr(kVersionLength + 1, 3);
  if (!std::all_of(code.begin(), code.end(), [](char c) { return g_ascii_isdigit(c); })) return false;
  const std::string_view reason = line.substr(kVersionLength + 4);
  if (!reason.empty() && reason.front() != ' ') return false;
  message_ = HttpMessage::makeResponse((code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0'),
                                       std::string(trimBlanks(reason)), std::string(line.substr(0, kVersionLength)));
  return true;
}

bool HttpResponseParser::parseFieldLine(std::string_view line) {
  if (isBlank(line.front())) {
    // An obsolete continuation of the previous field's value.
    if (pending_.first.empty()) return false;
    const std::string_view more = trimBlanks(line);
    if (!more.empty()) pending_.second.append(" ").append(more);
    return true;
  }
  if (!pending_.first.empty() && !message_->addHeaderField(pending_.first, pending_.second)) return false;
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || !HttpMessage::isValidFieldName(line.substr(0, colon))) return false;
  pending_ = {std::string(line.substr(0, colon)), std::string(trimBlanks(line.substr(colon + 1)))};
  return true;
}

}  // namespace platform
