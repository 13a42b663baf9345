#pragma once

#include <deque>
#include <memory>
#include <optional>

#include <curl/curl.h>

#include "DQHTTPStreamBase.h"
#include "DQHTTPStreamDelegate.h"
#include "Http/CurlMulti.h"
#include "Http/HttpMessage.h"
#include "IDQHTTPStream.h"
#include "RunLoop/RunLoop.h"

// An HTTP exchange over the network, made with libcurl. One curl multi handle
// per stream is driven from the run loop the stream is opened in: curl's
// sockets become fd watches and its timer a deadline source of that run loop.
// So every delegate call comes on that run loop's thread, in the order
// response, data, end (or a failure), and after close() none comes.
//
// Requests go out as given: no redirects are followed, no authentication is
// done by itself, bodies are not decoded and no "Expect: 100-continue" is
// sent. What the peer sends is bounded as over USB: a response head to 64 KiB,
// a body to kMaximumBodyLength (a Content-Length past it fails at once).
// Broken framing (a Content-Length that is not digits only, or repeated; a bad
// chunk; a head past its limit) and a body past the limit fail the exchange
// with "response not parsable", marked not to be retried. Used on the thread
// of its run loop only.
class DQNetworkHTTPStream : public DQHTTPStreamBase {
 public:
  // `useProxy`: the system's proxy settings (the usual proxy environment
  // variables) or no proxy at all. `validateCertificates`: verify the peer's
  // certificate and host name, or neither.
  DQNetworkHTTPStream(std::shared_ptr<platform::HttpMessage> request, bool useProxy, bool validateCertificates);
  ~DQNetworkHTTPStream() override;

  // `timeout` bounds the connection phase (code 4 when it passes); the whole
  // exchange is bounded by the connection's timer. The cancellation block is
  // not needed: a waiting caller abandons the exchange by closing it.
  bool openInRunLoop(const std::optional<platform::RunLoop>& runLoop, double timeout, platform::ErrorPtr* error,
                     CancellationBlock cancellationBlock) override;
  void close() override;

  double minimumConnectionTimeout() const override { return 0; }
  bool canBeInterrupted() const override { return true; }

 private:
  enum class State { Created, Opened, Ended, Closed };
  // What curl reported during one drive, handed to the delegate afterwards,
  // outside curl's callbacks.
  struct Event {
    enum class Kind { Response, Data, End, Failure } kind;
    platform::Data data;
    platform::ErrorPtr error;
  };

  static const char* stateName(State state);
  void setState(State state);

  bool configure(double timeout);
  // The transfer's end, from the multi handle; delivers what came.
  void transferDidComplete(CURLcode result);
  void deliverEvents();
  platform::ErrorPtr errorForResult(CURLcode result) const;
  // Removes every curl handle and run-loop source. Never inside a curl callback.
  void releaseCurl();

  void headerLine(std::string_view line);
  // Whether the complete head frames a body we take; else sets framingFault_.
  bool acceptsBodyFraming();
  static size_t headerCallback(char* bytes, size_t size, size_t count, void* stream);
  static size_t writeCallback(char* bytes, size_t size, size_t count, void* stream);

  const std::shared_ptr<platform::HttpMessage> request_;
  const bool useProxy_;
  const bool validateCertificates_;
  State state_ = State::Created;

  std::optional<platform::RunLoop> runLoop_;
  std::unique_ptr<platform::CurlMulti> multi_;
  CURL* easy_ = nullptr;
  curl_slist* headers_ = nullptr;
  platform::Data requestBody_;  // what curl sends; kept while it may read it
  char errorBuffer_[CURL_ERROR_SIZE] = {};

  std::shared_ptr<platform::HttpMessage> response_;  // the header block being read
  std::size_t headLength_ = 0;                      // its bytes so far
  bool headerComplete_ = false;
  bool unparsableResponse_ = false;
  // What was wrong with the answer's framing or size; the transfer stops.
  const char* framingFault_ = nullptr;
  std::uint64_t bodyLength_ = 0;  // body bytes taken so far
  std::deque<Event> events_;
};
