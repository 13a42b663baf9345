#include "DQURLConnection.h"

#include <algorithm>

#include "DQLog.h"

using platform::HttpMessage;

namespace {
// Time-outs at or below this get no connection timer.
constexpr double kLeastTimedTimeout = 0.1;
}  // namespace

DQURLConnection::DQURLConnection(platform::Url url, std::shared_ptr<HttpMessage> request,
                                 std::shared_ptr<IDQHTTPStream> stream, std::shared_ptr<DQURLConnectionConsumer> consumer)
    : requestURL_(std::move(url)),
      request_(std::move(request)),
      stream_(std::move(stream)),
      consumer_(std::move(consumer)) {}

DQURLConnection::~DQURLConnection() { close(); }

std::shared_ptr<DQURLConnection> DQURLConnection::connection(
    std::string_view method, const platform::Url& url, const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
    std::shared_ptr<DQURLConnectionConsumer> consumer, std::optional<platform::Data> body,
    std::string_view contentType) {
  auto request = HttpMessage::makeRequest(method, url);
  if (!request || !consumer || !streamProvider) return nullptr;
  auto stream = streamProvider->streamForRequest(request);
  if (!stream) return nullptr;
  request->setHeaderField("Host", HttpMessage::hostFieldValue(url));
  if (body) {
    request->setHeaderField("Content-Length", std::to_string(body->size()));
    if (!contentType.empty()) request->setHeaderField("Content-Type", contentType);
    request->setBody(std::move(*body));
  }
  return std::make_shared<DQURLConnection>(url, std::move(request), std::move(stream), std::move(consumer));
}

std::shared_ptr<DQURLConnection> DQURLConnection::connectionWithGETRequest(
    const platform::Url& url, const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
    std::shared_ptr<DQURLConnectionConsumer> consumer) {
  return connection("GET", url, streamProvider, std::move(consumer), std::nullopt, {});
}

std::shared_ptr<DQURLConnection> DQURLConnection::connectionWithHEADRequest(
    const platform::Url& url, const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
    std::shared_ptr<DQURLConnectionConsumer> consumer) {
  return connection("HEAD", url, streamProvider, std::move(consumer), std::nullopt, {});
}

std::shared_ptr<DQURLConnection> DQURLConnection::connectionWithPUTRequest(
    const platform::Url& url, const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
    std::shared_ptr<DQURLConnectionConsumer> consumer, platform::Data data, std::string_view contentType) {
  return connection("PUT", url, streamProvider, std::move(consumer), std::move(data), contentType);
}

std::shared_ptr<DQURLConnection> DQURLConnection::connectionWithPOSTRequest(
    const platform::Url& url, const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider,
    std::shared_ptr<DQURLConnectionConsumer> consumer, platform::Data data, std::string_view contentType) {
  return connection("POST", url, streamProvider, std::move(consumer), std::move(data), contentType);
}

bool DQURLConnection::open(double timeout, platform::ErrorPtr* error, CancellationBlock cancellationBlock) {
  if (opened_) return true;
  stream_->setDelegate(consumer_);
  const platform::RunLoop runLoop = platform::RunLoop::current();
  if (!stream_->openInRunLoop(runLoop, timeout, error, std::move(cancellationBlock))) {
    stream_->setDelegate({});
    return false;
  }
  opened_ = true;
  if (timeout > kLeastTimedTimeout) {
    const double interval = std::max(timeout, stream_->minimumConnectionTimeout());
    std::weak_ptr<DQURLConnectionConsumer> consumer = consumer_;
    connectionTimer_ = platform::Timer::scheduled(runLoop, interval, false, [consumer](platform::Timer&) {
      if (auto target = consumer.lock()) target->connectionTimerDidFire();
    });
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQURLConnection] - Adding connection timer for %.2f", interval);
  }
  return true;
}

void DQURLConnection::close() {
  if (opened_) {
    stream_->setDelegate({});
    stream_->close();
    opened_ = false;
  }
  if (connectionTimer_) {
    connectionTimer_->invalidate();
    connectionTimer_.reset();
  }
}

bool DQURLConnection::applyAuthenticationForRequest(IDQURLAuthenticationRequest& authenticationRequest,
                                                    const std::optional<std::string>& userName,
                                                    const std::optional<std::string>& password) {
  return authenticationRequest.applyCredentialsForRequest(*request_, userName, password);
}
