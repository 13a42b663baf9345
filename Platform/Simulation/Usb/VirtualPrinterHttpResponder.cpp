#include "Simulation/Usb/VirtualPrinterHttpResponder.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace platform {

namespace {

bool sameName(std::string_view left, std::string_view right) {
  return left.size() == right.size() && std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         });
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

void append(std::vector<std::uint8_t>& to, std::string_view text) { to.insert(to.end(), text.begin(), text.end()); }

}  // namespace

std::optional<std::string> VirtualPrinterHttpResponder::Request::field(std::string_view name) const {
  for (const auto& [key, value] : fields)
    if (sameName(key, name)) return value;
  return std::nullopt;
}

VirtualPrinterHttpResponder::VirtualPrinterHttpResponder(std::weak_ptr<VirtualPrinter> printer, std::uint8_t interface,
                                                         Handler handler)
    : printer_(std::move(printer)), interface_(interface), handler_(std::move(handler)) {}

std::shared_ptr<VirtualPrinterHttpResponder> VirtualPrinterHttpResponder::attach(
    const std::shared_ptr<VirtualPrinter>& printer, std::uint8_t interface, Handler handler) {
  std::shared_ptr<VirtualPrinterHttpResponder> responder(
      new VirtualPrinterHttpResponder(printer, interface, std::move(handler)));
  // The printer keeps the responder alive through its output handler.
  printer->setOutputHandler(interface, [responder](std::span<const std::uint8_t> bytes) { responder->take(bytes); });
  return responder;
}

void VirtualPrinterHttpResponder::setChunkSize(std::size_t size) {
  std::lock_guard lock(mutex_);
  chunkSize_ = size;
}

std::vector<VirtualPrinterHttpResponder::Request> VirtualPrinterHttpResponder::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void VirtualPrinterHttpResponder::take(std::span<const std::uint8_t> bytes) {
  for (;;) {
    std::optional<Request> request;
    std::size_t chunkSize = 0;
    {
      std::lock_guard lock(mutex_);
      if (!bytes.empty()) buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
      bytes = {};
      request = nextRequest();
      if (!request) return;
      requests_.push_back(*request);
      chunkSize = chunkSize_;
    }
    auto response = handler_ ? handler_(*request) : nullptr;
    auto printer = printer_.lock();
    if (!response || !printer) continue;
    const auto answer = encode(*response, chunkSize, request->method == "HEAD");
    printer->pushInput(interface_, answer);
  }
}

std::optional<VirtualPrinterHttpResponder::Request> VirtualPrinterHttpResponder::nextRequest() {
  static constexpr std::string_view kEnd = "\r\n\r\n";
  const auto headEnd = std::search(buffer_.begin(), buffer_.end(), kEnd.begin(), kEnd.end());
  if (headEnd == buffer_.end()) return std::nullopt;
  const std::string head(buffer_.begin(), headEnd);
  Request request;
  std::size_t at = head.find("\r\n");
  const std::string startLine = head.substr(0, at);
  const auto space = startLine.find(' ');
  request.method = startLine.substr(0, space);
  if (space != std::string::npos) request.target = startLine.substr(space + 1, startLine.rfind(' ') - space - 1);
  while (at != std::string::npos) {
    const std::size_t start = at + 2;
    at = head.find("\r\n", start);
    const std::string line = head.substr(start, at == std::string::npos ? std::string::npos : at - start);
    const auto colon = line.find(':');
    if (colon != std::string::npos) request.fields.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
  }
  const std::size_t bodyStart = static_cast<std::size_t>(headEnd - buffer_.begin()) + kEnd.size();
  // A length that is no number counts as none.
  const std::string lengthText = request.field("Content-Length").value_or("0");
  std::size_t length = 0;
  std::from_chars(lengthText.data(), lengthText.data() + lengthText.size(), length);
  if (buffer_.size() - bodyStart < length) return std::nullopt;
  request.body.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(bodyStart),
                      buffer_.begin() + static_cast<std::ptrdiff_t>(bodyStart + length));
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(bodyStart + length));
  return request;
}

std::vector<std::uint8_t> VirtualPrinterHttpResponder::encode(const HttpMessage& response, std::size_t chunkSize,
                                                                bool head) {
  // The head alone: the body is framed below.
  auto framed = HttpMessage::makeResponse(response.statusCode(), response.reasonPhrase(), response.version());
  for (const auto& [name, value] : response.headerFields()) framed->addHeaderField(name, value);
  const auto& body = response.body();
  if (chunkSize > 0) {
    framed->setHeaderField("Content-Length", std::nullopt);
    framed->setHeaderField("Transfer-Encoding", "chunked");
  } else if (!framed->headerField("Content-Length")) {
    framed->setHeaderField("Content-Length", std::to_string(body.size()));
  }
  std::vector<std::uint8_t> bytes = framed->serializedMessage();
  if (head) return bytes;
  // Each chunk adds its size line and a line end; the last chunk five bytes.
  const std::size_t chunks = chunkSize > 0 ? (body.size() + chunkSize - 1) / chunkSize : 0;
  bytes.reserve(bytes.size() + body.size() + chunks * 20 + 5);
  if (chunkSize == 0) {
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
  }
  for (std::size_t at = 0; at < body.size(); at += chunkSize) {
    const std::size_t size = std::min(chunkSize, body.size() - at);
    char line[32];
    std::snprintf(line, sizeof line, "%zx\r\n", size);
    append(bytes, line);
    bytes.insert(bytes.end(), body.begin() + static_cast<std::ptrdiff_t>(at),
                 body.begin() + static_cast<std::ptrdiff_t>(at + size));
    append(bytes, "\r\n");
  }
  append(bytes, "0\r\n\r\n");
  return bytes;
}

}  // namespace platform
