#include "DQLocalFileHTTPStream.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <string>

using platform::HttpMessage;

namespace {

std::shared_ptr<HttpMessage> emptyResponse(int status, const char* reason) {
  auto response = HttpMessage::makeResponse(status, reason);
  response->setHeaderField("Content-Length", "0");
  return response;
}

// Whether the path names something we can read as a file.
bool isReadableFile(const std::string& path) {
  GStatBuf info;
  return !path.empty() && g_stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) &&
         g_access(path.c_str(), R_OK) == 0;
}

}  // namespace

DQLocalFileHTTPStream::DQLocalFileHTTPStream(std::shared_ptr<HttpMessage> request) : request_(std::move(request)) {}

std::shared_ptr<HttpMessage> DQLocalFileHTTPStream::responseForRequest(const HttpMessage& request) {
  const std::string path = request.url() ? request.url()->filePath() : std::string();
  const std::string& method = request.method();
  if (method == "GET" || method == "HEAD") {
    gchar* contents = nullptr;
    gsize length = 0;
    if (!isReadableFile(path) || !g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
      return emptyResponse(404, "Not Found");
    }
    auto response = HttpMessage::makeResponse(200, "OK");
    response->setHeaderField("Content-Length", std::to_string(length));
    if (method == "GET") response->appendBody(reinterpret_cast<const std::uint8_t*>(contents), length);
    g_free(contents);
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
  auto response = responseForRequest(*request_);
  setResponse(response->statusCode(), response->allHeaderFields());
  // Each call may close the stream; what follows a close is not delivered.
  if (auto delegate = this->delegate(); delegate && state_ == State::Opened) delegate->streamDidReceiveResponse(*this);
  if (auto delegate = this->delegate(); delegate && state_ == State::Opened && !response->body().empty()) {
    delegate->stream(*this, response->body());
  }
  if (auto delegate = this->delegate(); delegate && state_ == State::Opened) delegate->streamDidEnd(*this);
}
