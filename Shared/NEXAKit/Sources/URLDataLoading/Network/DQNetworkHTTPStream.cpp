#include "DQNetworkHTTPStream.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>

#include "DQHTTPAuthenticationRequest.h"
#include "DQHTTPStreamError.h"
#include "DQLog.h"
#include "Http/HttpResponseParser.h"

using platform::Data;
using platform::ErrorPtr;

namespace {

// Bytes curl hands over per write call: larger pieces mean fewer calls.
constexpr long kReceiveBufferSize = 64 * 1024;

// "HTTP/1.1 200 OK" into a response message; nullptr when it is not one.
std::shared_ptr<platform::HttpMessage> responseForStatusLine(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || line.substr(0, 5) != "HTTP/") return nullptr;
  std::string_view rest = line.substr(space + 1);
  int status = 0;
  auto [end, failure] = std::from_chars(rest.data(), rest.data() + std::min<std::size_t>(rest.size(), 3), status);
  if (failure != std::errc() || end != rest.data() + 3 || status < 100) return nullptr;
  rest.remove_prefix(3);
  if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  return platform::HttpMessage::makeResponse(status, std::string(rest), std::string(line.substr(0, space)));
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

DQNetworkHTTPStream::DQNetworkHTTPStream(std::shared_ptr<platform::HttpMessage> request, bool useProxy,
                                         bool validateCertificates)
    : request_(std::move(request)), useProxy_(useProxy), validateCertificates_(validateCertificates) {}

DQNetworkHTTPStream::~DQNetworkHTTPStream() { releaseCurl(); }

const char* DQNetworkHTTPStream::stateName(State state) {
  switch (state) {
    case State::Created:
      return "created";
    case State::Opened:
      return "opened";
    case State::Ended:
      return "ended";
    case State::Closed:
      return "closed";
  }
  return "?";
}

void DQNetworkHTTPStream::setState(State state) {
  if (state == state_) return;
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQNetworkHTTPStream] - %s -> %s", stateName(state_),
                               stateName(state));
  state_ = state;
}

bool DQNetworkHTTPStream::openInRunLoop(const std::optional<platform::RunLoop>& runLoop, double timeout,
                                        ErrorPtr* error, CancellationBlock) {
  if (state_ != State::Created) return refuseOpen(error, "The stream was opened before");
  if (!request_ || !request_->url() || !(request_->url()->hasScheme("http") || request_->url()->hasScheme("https"))) {
    return refuseOpen(error, "The request has no HTTP URL");
  }
  runLoop_ = runLoop ? *runLoop : platform::RunLoop::current();
  if (!configure(timeout)) {
    releaseCurl();
    return refuseOpen(error, "The transfer could not be set up");
  }
  // Adding the handle arms curl's timer; the transfer runs from the run loop
  // from then on.
  if (!multi_->add(easy_)) {
    releaseCurl();
    return refuseOpen(error, "The transfer could not be started");
  }
  setState(State::Opened);
  return true;
}

bool DQNetworkHTTPStream::configure(double timeout) {
  multi_ = std::make_unique<platform::CurlMulti>(
      *runLoop_, [this](CURL*, CURLcode result) { transferDidComplete(result); },
      [this] {
        // A delegate may drop the last reference to this stream.
        auto self = sharedAs<DQNetworkHTTPStream>();
        deliverEvents();
      });
  easy_ = curl_easy_init();
  if (!easy_) return false;

  const platform::HttpMessage& request = *request_;
  bool ok = curl_easy_setopt(easy_, CURLOPT_URL, request.url()->absoluteString().c_str()) == CURLE_OK;
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy_, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, validateCertificates_ ? 1L : 0L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, validateCertificates_ ? 2L : 0L);
  // An empty proxy turns off every proxy, the environment's included; without
  // one curl follows the proxy environment variables.
  if (!useProxy_) curl_easy_setopt(easy_, CURLOPT_PROXY, "");
  if (timeout > 0 && std::isfinite(timeout)) {
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min(timeout, 1e9) * 1000));
  }
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &DQNetworkHTTPStream::headerCallback);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &DQNetworkHTTPStream::writeCallback);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);

  const std::string& method = request.method();
  const bool sendsBody = method == "PUT" || method == "POST" || !request.body().empty();
  if (method == "HEAD") {
    curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
  } else if (sendsBody) {
    requestBody_ = request.body();
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(requestBody_.size()));
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, requestBody_.data());
    if (method != "POST") curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method != "GET") {
    curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  // The request's own fields. curl counts the body itself, and is told to
  // leave out what it would add by itself.
  bool hasContentType = false;
  for (const auto& [name, value] : request.headerFields()) {
    if (g_ascii_strcasecmp(name.c_str(), "Content-Length") == 0) continue;
    hasContentType = hasContentType || g_ascii_strcasecmp(name.c_str(), "Content-Type") == 0;
    // "Name;" is curl's spelling of a field with an empty value.
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    headers_ = curl_slist_append(headers_, line.c_str());
  }
  headers_ = curl_slist_append(headers_, "Expect:");
  if (sendsBody && !hasContentType) headers_ = curl_slist_append(headers_, "Content-Type:");
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
  return ok && headers_ != nullptr;
}

void DQNetworkHTTPStream::close() {
  releaseCurl();
  events_.clear();
  setState(State::Closed);
}

void DQNetworkHTTPStream::releaseCurl() {
  // The multi handle first: it takes the transfer out before the easy
  // handle goes.
  multi_.reset();
  if (easy_) curl_easy_cleanup(easy_);
  easy_ = nullptr;
  if (headers_) curl_slist_free_all(headers_);
  headers_ = nullptr;
}

// --- curl's callbacks: they only record; nothing here calls out ---

size_t DQNetworkHTTPStream::headerCallback(char* bytes, size_t size, size_t count, void* data) {
  auto self = static_cast<DQNetworkHTTPStream*>(data);
  self->headerLine(std::string_view(bytes, size * count));
  // A status line we cannot read, or a head we refuse, stops the transfer.
  return self->unparsableResponse_ || self->framingFault_ ? 0 : size * count;
}

void DQNetworkHTTPStream::headerLine(std::string_view line) {
  if (line.substr(0, 5) == "HTTP/") {
    // Every status line begins a new header block, so informational blocks
    // (100 Continue) are read and dropped.
    response_ = responseForStatusLine(trimmed(line));
    headLength_ = line.size();
    headerComplete_ = false;
    unparsableResponse_ = response_ == nullptr;
    return;
  }
  if (!response_ || headerComplete_) return;  // trailers, or nothing to add to
  headLength_ += line.size();
  if (headLength_ > platform::HttpResponseParser::kMaximumHeadLength) {
    framingFault_ = "The response head is too long";
    return;
  }
  const std::string_view text = trimmed(line);
  if (!text.empty()) {
    // An obsolete folded line, or a line without a name, is dropped.
    const std::size_t colon = text.find(':');
    if (line.front() != ' ' && line.front() != '\t' && colon != std::string_view::npos) {
      response_->addHeaderField(trimmed(text.substr(0, colon)), trimmed(text.substr(colon + 1)));
    }
    return;
  }
  if (response_->statusCode() < 200) return;
  if (!acceptsBodyFraming()) return;
  headerComplete_ = true;
  std::shared_ptr<IDQURLAuthenticationRequest> authentication;
  if (response_->statusCode() == 401) {
    authentication = DQHTTPAuthenticationRequest::authenticationRequestWithResponse(*response_, *request_->url());
  }
  setResponse(response_->statusCode(), response_->allHeaderFields(), std::move(authentication));
  events_.push_back({Event::Kind::Response, {}, nullptr});
}

bool DQNetworkHTTPStream::acceptsBodyFraming() {
  // curl reads the length itself, but takes the leading digits of a value
  // such as "12abc" and the last of repeated fields: it is checked here first.
  const std::optional<std::string> contentLength = response_->headerField("Content-Length");
  const std::optional<std::uint64_t> length =
      contentLength ? platform::HttpMessage::contentLengthValue(*contentLength) : std::nullopt;
  if (contentLength && !length) {
    framingFault_ = "The response has a malformed Content-Length";
  } else if (length && *length > kMaximumBodyLength && !response_->isChunked() && request_->method() != "HEAD" &&
             !platform::HttpMessage::statusHasNoBody(response_->statusCode())) {
    framingFault_ = "The response body is too large";
  }
  return !framingFault_;
}

size_t DQNetworkHTTPStream::writeCallback(char* bytes, size_t size, size_t count, void* data) {
  auto self = static_cast<DQNetworkHTTPStream*>(data);
  const std::size_t length = size * count;
  self->bodyLength_ += length;
  if (self->bodyLength_ > kMaximumBodyLength) {
    self->framingFault_ = "The response body is too large";
    return 0;
  }
  auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
  // Each piece as it came: joined, a drive's pieces would be copied again
  // and held twice while the joined piece grows.
  self->events_.push_back({Event::Kind::Data, Data(begin, begin + length), nullptr});
  return length;
}

// --- the end of the transfer, on the run loop's thread ---

void DQNetworkHTTPStream::transferDidComplete(CURLcode result) {
  // A delegate may drop the last reference to this stream.
  auto self = sharedAs<DQNetworkHTTPStream>();
  if (result == CURLE_OK && headerComplete_) {
    events_.push_back({Event::Kind::End, {}, nullptr});
  } else {
    events_.push_back({Event::Kind::Failure, {}, errorForResult(result)});
  }
  setState(State::Ended);
  // The exchange is over: its sockets and timer go at once.
  releaseCurl();
  deliverEvents();
}

void DQNetworkHTTPStream::deliverEvents() {
  while (!events_.empty() && state_ != State::Closed) {
    Event event = std::move(events_.front());
    events_.pop_front();
    auto delegate = this->delegate();
    if (!delegate) continue;
    switch (event.kind) {
      case Event::Kind::Response:
        delegate->streamDidReceiveResponse(*this);
        break;
      case Event::Kind::Data:
        delegate->stream(*this, event.data);
        break;
      case Event::Kind::End:
        delegate->streamDidEnd(*this);
        break;
      case Event::Kind::Failure:
        delegate->stream(*this, event.error);
        break;
    }
  }
}

ErrorPtr DQNetworkHTTPStream::errorForResult(CURLcode result) const {
  const std::string message =
      framingFault_ ? framingFault_ : errorBuffer_[0] ? std::string(errorBuffer_) : curl_easy_strerror(result);
  platform::Dictionary userInfo{{platform::Error::kLocalizedDescriptionKey, platform::Value(message)}};
  // Asking again gets the same answer: one request, not several.
  const auto framingFault = [&] { return DQHTTPStreamError::unparsableResponseError(true, userInfo); };
  const auto withCode = [&](std::int64_t code) { return DQHTTPStreamError::errorWithCode(code, nullptr, userInfo); };
  if (framingFault_) return framingFault();
  if (unparsableResponse_) return DQHTTPStreamError::unparsableResponseError(false, userInfo);
  long osErrno = 0;
  if (easy_) curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
  switch (result) {
    case CURLE_COULDNT_CONNECT:
      return withCode(osErrno == ECONNREFUSED ? DQHTTPStreamError::kConnectionRefused
                                              : DQHTTPStreamError::kConnectionFailure);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_GOT_NOTHING:   // closed before a status line
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:  // closed before the body's end
      return withCode(DQHTTPStreamError::kConnectionFailure);
    case CURLE_RECV_ERROR:
      // Over plain HTTP with nothing wrong on the socket, it is the chunked
      // framing curl refused (bodies are not decoded otherwise).
      if (osErrno == 0 && headerComplete_ && response_->isChunked() && request_->url()->hasScheme("http")) {
        return framingFault();
      }
      return withCode(DQHTTPStreamError::kConnectionFailure);
    case CURLE_OUT_OF_MEMORY:
      // curl refuses a header line past its own limit (100 KiB) so, before
      // the line reaches the header callback.
      return headerComplete_ ? withCode(DQHTTPStreamError::kOtherFailure) : framingFault();
    case CURLE_WEIRD_SERVER_REPLY:
      // After a status line curl refused a field of the head, such as a
      // negative Content-Length; before it the reply is no HTTP.
      return response_ && !headerComplete_ ? framingFault()
                                           : DQHTTPStreamError::unparsableResponseError(false, userInfo);
    case CURLE_OPERATION_TIMEDOUT:
      return withCode(DQHTTPStreamError::kTimedOut);
    case CURLE_OK:  // ended without a complete header block
    case CURLE_UNSUPPORTED_PROTOCOL:  // a reply that is no HTTP/1.x (the scheme was checked at open)
    case CURLE_BAD_CONTENT_ENCODING:
      return DQHTTPStreamError::unparsableResponseError(false, userInfo);
    default:
      return withCode(DQHTTPStreamError::kOtherFailure);
  }
}
