#pragma once

#include <curl/curl.h>

#include <functional>
#include <memory>
#include <string>

#include "Errors/Error.h"
#include "Http/CurlMulti.h"
#include "RunLoop/RunLoop.h"

namespace platform {

// One small HTTP exchange whose answer counts only by its status: the body
// is read and dropped. Redirects are followed (at most 10, http and https
// only) and the final answer counts; TLS peers and host names are verified;
// the proxy environment variables are honoured; no cookies, no
// "Expect: 100-continue". Driven by the run loop's shared CurlMulti, so no
// thread is started, and the exchanges of one run loop share its connections:
// one to the same server that an earlier exchange left open carries the next
// request.
//
// Made, started, cancelled and destroyed on the run loop's thread.
class URLConnection {
 public:
  struct Request {
    std::string url;
    std::string method = "GET";  // "GET" or "POST"
    std::string body;            // a POST's form-encoded fields
    double timeout = 60;         // seconds for the whole exchange
    std::string userAgent;       // sent when not empty
  };
  // The exchange ended, on the run loop's thread: the final HTTP status (0
  // without an answer) and nil, or a transport failure (NSURLErrorDomain).
  // Called at most once, never after cancel() or destruction.
  using Completion = std::function<void(long status, ErrorPtr error)>;

  URLConnection(Request request, RunLoop runLoop, Completion completion);
  ~URLConnection();
  URLConnection(const URLConnection&) = delete;
  URLConnection& operator=(const URLConnection&) = delete;

  // Whether a connection can carry `url`: an absolute http or https URL.
  static bool canHandleURL(const std::string& url);

  // False when the transfer could not be set up; nothing is called then.
  bool start();
  // Ends the exchange; the completion is not called.
  void cancel();
  const Request& request() const { return request_; }

 private:
  void didComplete(CURLcode result);
  ErrorPtr errorForResult(CURLcode result) const;
  static size_t discard(char* bytes, size_t size, size_t count, void* connection);

  const Request request_;
  const RunLoop runLoop_;
  Completion completion_;
  // The run loop's shared one while a transfer is added; it outlives us.
  CurlMulti* multi_ = nullptr;
  CURL* easy_ = nullptr;
  curl_slist* headers_ = nullptr;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
};

}  // namespace platform
