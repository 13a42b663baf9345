#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "DQURLConnectionConsumer.h"
#include "Errors/Error.h"
#include "Http/HttpMessage.h"
#include "IDQHTTPStream.h"
#include "IDQHTTPStreamProvider.h"
#include "IDQURLAuthenticationRequest.h"
#include "Dispatch/Timer.h"
#include "Values/Url.h"

// One HTTP/1.1 exchange: a request message, the stream a provider made for
// it, and the consumer that collects what the stream reports. It runs on the
// run loop of the thread that opens it; a waiting operation spins that run
// loop until isLoadingCompleted(). Used on that thread only.
class DQURLConnection : public platform::Object {
 public:
  using CancellationBlock = IDQHTTPStream::CancellationBlock;

  // Each builds the request with the standard header fields (Host, and for a
  // body Content-Length and the given Content-Type) and asks the provider for
  // a stream; nullptr when there is no request, consumer or stream.
  static std::shared_ptr<DQURLConnection> connectionWithGETRequest(
      const platform::Url& url, const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
      std::shared_ptr<DQURLConnectionConsumer> consumer);
  static std::shared_ptr<DQURLConnection> connectionWithHEADRequest(
      const platform::Url& url, const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
      std::shared_ptr<DQURLConnectionConsumer> consumer);
  static std::shared_ptr<DQURLConnection> connectionWithPUTRequest(
      const platform::Url& url, const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
      std::shared_ptr<DQURLConnectionConsumer> consumer, platform::Data data, std::string_view contentType);
  static std::shared_ptr<DQURLConnection> connectionWithPOSTRequest(
      const platform::Url& url, const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
      std::shared_ptr<DQURLConnectionConsumer> consumer, platform::Data data, std::string_view contentType);

  // Closes the stream when it is still open.
  ~DQURLConnection() override;

  // Opens the stream on the calling thread's run loop, the consumer as its
  // delegate; true at once when already open. With a time-out above 0.1 s a
  // connection timer ends the loading after the larger of the time-out and
  // the stream's minimum. False with the stream's error when it does not open.
  bool open(double timeout, platform::ErrorPtr* error, CancellationBlock cancellationBlock);
  // Detaches the consumer, closes the stream and stops the timer.
  void close();

  bool isLoadingCompleted() const { return consumer_->isLoadingCompleted(); }
  bool canBeInterrupted() const { return stream_->canBeInterrupted(); }
  const platform::Url& requestURL() const { return requestURL_; }
  const std::shared_ptr<DQURLConnectionConsumer>& consumer() const { return consumer_; }
  const std::shared_ptr<platform::HttpMessage>& request() const { return request_; }

  // Has the authentication request write the credentials into this
  // connection's request; call before open().
  bool applyAuthenticationForRequest(IDQURLAuthenticationRequest& authenticationRequest,
                                     const std::optional<std::string>& userName,
                                     const std::optional<std::string>& password);

  DQURLConnection(platform::Url url, std::shared_ptr<platform::HttpMessage> request,
                  std::shared_ptr<IDQHTTPStream> stream, std::shared_ptr<DQURLConnectionConsumer> consumer);

 private:
  static std::shared_ptr<DQURLConnection> connection(std::string_view method, const platform::Url& url,
                                                     const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
                                                     std::shared_ptr<DQURLConnectionConsumer> consumer,
                                                     std::optional<platform::Data> body, std::string_view contentType);

  const platform::Url requestURL_;
  const std::shared_ptr<platform::HttpMessage> request_;
  const std::shared_ptr<IDQHTTPStream> stream_;
  const std::shared_ptr<DQURLConnectionConsumer> consumer_;
  std::shared_ptr<platform::Timer> connectionTimer_;
  bool opened_ = false;
};
