#include "Http/URLConnection.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string_view>

namespace platform {

namespace {

constexpr long kMaxRedirects = 10;

}  // namespace

URLConnection::URLConnection(Request request, RunLoop runLoop, Completion completion)
    : request_(std::move(request)), runLoop_(std::move(runLoop)), completion_(std::move(completion)) {}

URLConnection::~URLConnection() { cancel(); }

bool URLConnection::canHandleURL(const std::string& url) {
  CurlMulti::initializeCurl();
  CURLU* parsed = curl_url();
  bool usable = false;
  char* scheme = nullptr;
  char* host = nullptr;
  if (parsed && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    const std::string_view name(scheme);
    usable = (name == "http" || name == "https") && host[0] != '\0';
  }
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(parsed);
  return usable;
}

bool URLConnection::start() {
  if (easy_ || !canHandleURL(request_.url)) return false;
  easy_ = curl_easy_init();
  if (!easy_) {
    cancel();
    return false;
  }
  curl_easy_setopt(easy_, CURLOPT_URL, request_.url.c_str());
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
  // 0 would be no time-out at all.
  const double timeout = request_.timeout > 0 && std::isfinite(request_.timeout) ? request_.timeout : 60;
  curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, static_cast<long>(std::clamp(timeout * 1000, 1.0, 1e12)));
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &URLConnection::discard);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  if (!request_.userAgent.empty()) curl_easy_setopt(easy_, CURLOPT_USERAGENT, request_.userAgent.c_str());
  if (request_.method == "POST") {
    curl_easy_setopt(easy_, CURLOPT_POST, 1L);
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.body.size()));
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, request_.body.data());
  } else {
    curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
  }
  headers_ = curl_slist_append(headers_, "Expect:");
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
  multi_ = &CurlMulti::shared(runLoop_);
  if (!multi_->add(easy_, [this](CURL*, CURLcode result) { didComplete(result); })) {
    multi_ = nullptr;
    cancel();
    return false;
  }
  return true;
}

void URLConnection::cancel() {
  completion_ = nullptr;
  // Out of the multi handle first: the transfer ends before the easy handle
  // goes. A connection in the middle of an exchange is closed, not kept.
  if (multi_ && easy_) multi_->remove(easy_);
  multi_ = nullptr;
  if (easy_) curl_easy_cleanup(easy_);
  easy_ = nullptr;
  if (headers_) curl_slist_free_all(headers_);
  headers_ = nullptr;
}

void URLConnection::didComplete(CURLcode result) {
  long status = 0;
  if (result == CURLE_OK) curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  ErrorPtr error = result == CURLE_OK ? nullptr : errorForResult(result);
  Completion completion = std::move(completion_);
  // The completion may destroy this connection: nothing of it is used after.
  cancel();
  if (completion) completion(status, std::move(error));
}

ErrorPtr URLConnection::errorForResult(CURLcode result) const {
  const std::string message = errorBuffer_[0] ? std::string(errorBuffer_) : curl_easy_strerror(result);
  std::int64_t code = -1;  // unknown
  switch (result) {
    case CURLE_OPERATION_TIMEDOUT:
      code = Error::kURLErrorTimedOut;
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      code = -1003;  // cannot find host
      break;
    case CURLE_COULDNT_CONNECT:
      code = -1004;  // cannot connect to host
      break;
    case CURLE_TOO_MANY_REDIRECTS:
      code = -1007;
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
      code = -1202;  // server certificate untrusted
      break;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      code = -1005;  // network connection lost
      break;
    default:
      break;
  }
  return Error::make(Error::kURLErrorDomain, code, {{Error::kLocalizedDescriptionKey, Value(message)}});
}

size_t URLConnection::discard(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace platform
