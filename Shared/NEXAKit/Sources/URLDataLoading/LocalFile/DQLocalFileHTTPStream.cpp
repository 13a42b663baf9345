#include "DQLocalFileHTTPStream.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "DQHTTPStreamError.h"

using platform::HttpMessage;

namespace {

std::shared_ptr<HttpMessage> emptyResponse(int status, const char* reason) {
  auto response = HttpMessage::makeResponse(status, reason);
  response->setHeaderField("Content-Length", "0");
  return response;
}

// Whether the path names something we can read as a file; `info` is its status.
bool isReadableFile(const std::string& path, GStatBuf* info) {
  return !path.empty() && g_stat(path.c_str(), info) == 0 && !S_ISDIR(info->st_mode) &&
         g_access(path.c_str(), R_OK) == 0;
}

// The file's bytes, no more than IDQHTTPStream::kMaximumBodyLength of them:
// `*tooLarge` when it holds more (a regular file is not read then). nullopt
// when it cannot be read.
std::optional<platform::Data> readFile(const std::string& path, bool* tooLarge) {
  constexpr std::uint64_t kLimit = IDQHTTPStream::kMaximumBodyLength;
  const int fd = g_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  platform::Data data;
  GStatBuf info;
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  *tooLarge = regular && static_cast<std::uint64_t>(info.st_size) > kLimit;
  // A regular file's bytes go into one allocation of its size.
  if (regular && !*tooLarge) data.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t piece[64 * 1024];
  bool failed = false;
  while (!*tooLarge) {
    const ssize_t length = ::read(fd, piece, sizeof(piece));
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) {
      failed = length < 0;
      break;
    }
    *tooLarge = data.size() + static_cast<std::size_t>(length) > kLimit;
    if (!*tooLarge) data.insert(data.end(), piece, piece + length);
  }
  ::close(fd);
  if (failed) return std::nullopt;
  return data;
}

}  // namespace

DQLocalFileHTTPStream::DQLocalFileHTTPStream(std::shared_ptr<HttpMessage> request) : request_(std::move(request)) {}

std::shared_ptr<HttpMessage> DQLocalFileHTTPStream::responseForRequest(const HttpMessage& request,
                                                                       platform::ErrorPtr* error) {
  const std::string path = request.url() ? request.url()->filePath() : std::string();
  const std::string& method = request.method();
  if (method == "GET" || method == "HEAD") {
    GStatBuf info;
    if (!isReadableFile(path, &info)) return emptyResponse(404, "Not Found");
    auto response = HttpMessage::makeResponse(200, "OK");
    // HEAD needs a regular file's size only.
    if (method == "HEAD" && S_ISREG(info.st_mode)) {
      response->setHeaderField("Content-Length", std::to_string(info.st_size));
      return response;
    }
    bool tooLarge = false;
    std::optional<platform::Data> contents = readFile(path, &tooLarge);
    if (tooLarge) {
      if (error) {
        *error = DQHTTPStreamError::unparsableResponseError(
            true, {{platform::Error::kLocalizedDescriptionKey, platform::Value("The file is too large")}});
      }
      return nullptr;
    }
    if (!contents) return emptyResponse(404, "Not Found");
    response->setHeaderField("Content-Length", std::to_string(contents->size()));
    if (method == "GET") response->setBody(std::move(*contents));
    return response;
  }
  if (method == "PUT") {
    // GLib writes a temporary file beside the target and renames it over.
    const auto& body = request.body();
    const bool written = !path.empty() && g_file_set_contents(path.c_str(), reinterpret_cast<const char*>(body.data()),
                                                              static_cast<gssize>(body.size()), nullptr);
    return written ? emptyResponse(200, "OK") : emptyResponse(500, "Internal Server Error");
  }
  auto response = emptyResponse(405, "Method Not Allowed");
  response->setHeaderField("Allow", "GET, HEAD, PUT");
  return response;
}

bool DQLocalFileHTTPStream::openInRunLoop(const std::optional<platform::RunLoop>& runLoop, double, platform::ErrorPtr* error,
                                          CancellationBlock) {
  if (state_ != State::Created) return refuseOpen(error, "The stream was opened before");
  if (!request_ || !request_->url() || !request_->url()->isFileUrl()) {
    return refuseOpen(error, "The request has no file URL");
  }
  state_ = State::Opened;
  std::weak_ptr<DQLocalFileHTTPStream> weak = sharedAs<DQLocalFileHTTPStream>();
  (runLoop ? *runLoop : platform::RunLoop::current()).perform([weak] {
    if (auto stream = weak.lock()) stream->answer();
  });
  return true;
}

void DQLocalFileHTTPStream::close() { state_ = State::Closed; }

void DQLocalFileHTTPStream::answer() {
  if (state_ != State::Opened) return;
  auto self = sharedAs<DQLocalFileHTTPStream>();  // a delegate may drop the last reference
  platform::ErrorPtr error;
  auto response = responseForRequest(*request_, &error);
  if (!response) {
    if (auto delegate = this->delegate()) delegate->stream(*this, error);
    return;
  }
  setResponse(response->statusCode(), response->allHeaderFields());
  // Each call may close the stream; what follows a close is not delivered.
  if (auto delegate = this->delegate(); delegate && state_ == State::Opened) delegate->streamDidReceiveResponse(*this);
  if (auto delegate = this->delegate(); delegate && state_ == State::Opened && !response->body().empty()) {
    delegate->stream(*this, response->body());
  }
  if (auto delegate = this->delegate(); delegate && state_ == State::Opened) delegate->streamDidEnd(*this);
}
