#include "ALKSendMeasurementActivityFilter.h"

#include <algorithm>

#include "ALKErrors.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "System/AppIdentity.h"

namespace {

constexpr const char* kIgnoresProcessErrorsKey = "ALKQueueFilterIgnoresProcessErrors";

platform::ErrorPtr sendError(std::int64_t code, platform::Dictionary userInfo = {}) {
  return platform::Error::make(ALKErrorDomain, code, std::move(userInfo));
}

platform::Value propertiesOf(const std::shared_ptr<ALKActivity>& activity) {
  auto properties = activity ? activity->properties() : std::nullopt;
  return properties ? platform::Value(std::move(*properties)) : platform::Value();
}

bool isSendError(const platform::ErrorPtr& error, std::int64_t code) { return error && error->is(ALKErrorDomain, code); }

}  // namespace

std::shared_ptr<ALKSendMeasurementActivityFilter> ALKSendMeasurementActivityFilter::filterWithInputQueue(
    std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue, CompletionBlock completion) {
  auto filter = make<ALKSendMeasurementActivityFilter>(std::move(inputQueue), std::move(outputQueue),
                                                       std::move(completion));
  filter->setProceedErrorHandler(filter->connectionErrorHandler());
  return filter;
}

ALKSendMeasurementActivityFilter::ALKSendMeasurementActivityFilter(Passkey key, std::shared_ptr<IALKQueue> inputQueue,
                                                                   std::shared_ptr<IALKQueue> outputQueue,
                                                                   CompletionBlock completion)
    : ALKQueueFilter(
          key, std::move(inputQueue), std::move(outputQueue), true, nullptr,
          [](ALKQueueFilter& filter, const platform::ObjectPtr& object, const Finish& finish) {
            auto& self = static_cast<ALKSendMeasurementActivityFilter&>(filter);
            self.sendActivity(std::dynamic_pointer_cast<ALKActivity>(object),
                              [finish](ALKQueueFilter& stage, const platform::ObjectPtr& output,
                                       const platform::ErrorPtr& error) {
                                platform::ErrorPtr relayed = error;
                                // A collision must not dequeue the hit in flight.
                                if (relayed && !isSendError(relayed, kALKErrorCannotExecute)) {
                                  bool stop = false;
                                  if (stage.proceedErrorHandler()) stage.proceedErrorHandler()(relayed, stop);
                                  if (!stop) relayed = nullptr;
                                }
                                finish(stage, output, relayed);
                              });
          },
          [completion](ALKQueueFilter& filter, const platform::ObjectPtr& output, const platform::ErrorPtr& error) {
            if (completion) completion(filter, output, error);
          }) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
}

ALKSendMeasurementActivityFilter::~ALKSendMeasurementActivityFilter() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
  removeConnection();
}

std::shared_ptr<ALKConfig> ALKSendMeasurementActivityFilter::config() const {
  return propertyForKey(kConfigKey).objectAs<ALKConfig>();
}

void ALKSendMeasurementActivityFilter::setConfig(std::shared_ptr<ALKConfig> config) {
  setProperty(platform::Value(std::move(config)), kConfigKey);
}

std::string ALKSendMeasurementActivityFilter::userAgent() {
  const auto& identity = platform::AppIdentity::shared();
  std::string agent = identity.name() + "/" + identity.shortVersion() + " (Linux)";
  std::erase_if(agent, [](char c) { return c == '\r' || c == '\n'; });
  return agent;
}

void ALKSendMeasurementActivityFilter::sendActivity(const std::shared_ptr<ALKActivity>& activity,
                                                    SendCompletion completion) {
  ALKLogIndent indent;
  bool finishNow = true;
  std::shared_ptr<ALKActivity> output;
  platform::ErrorPtr error;
  if (isCancelled()) {
    // Nothing to report.
  } else if (connection_ || sendActivityCompletion_) {
    if (activity != originalActivity_) ALKLog::error(this, "Unexpected activity %@", activity);
    ALKLog::debug(this, "Already sending the activity. Collision.");
    // The hit in flight keeps its connection and its completion.
    if (completion) completion(*this, nullptr, sendError(kALKErrorCannotExecute));
    return;
  } else if (!activity) {
    ALKLog::debug(this, "No activity to send.");
  } else {
    ALKLog::debug(this, "Create measurement URL request for activity %@", activity);
    const auto config = this->config();
    const auto request =
        ALKMeasurementRequestFilter::URLRequestForActivity(activity, config, &output, &error, *clock());
    std::weak_ptr<ALKSendMeasurementActivityFilter> weakSelf = sharedAs<ALKSendMeasurementActivityFilter>();
    if (request) {
      ALKLog::debug(this, "Send URL request %@ for activity %@ with properties %@", request->url, output,
                    propertiesOf(output));
      connection_ = std::make_unique<platform::URLConnection>(
          platform::URLConnection::Request{request->url, request->method, request->body, request->timeout,
                                           userAgent()},
          platform::RunLoop::main(), [weakSelf](long status, platform::ErrorPtr failure) {
            const auto self = weakSelf.lock();
            if (!self) return;
            if (status > 0) {
              self->response_ = platform::HttpMessage::makeResponse(static_cast<int>(status));
              ALKLog::debug(self.get(), "Did receive response {%@}", self->response_);
            }
            if (failure) {
              ALKLog::error(self.get(), "Failed to send activity to server. {activity: %@, error: %@}",
                            self->currentActivity_, failure);
            } else {
              ALKLog::debug(self.get(), "Did dispatch activity {activity: %@}", self->currentActivity_);
            }
            self->handleConnectionFinish(std::move(failure));
          });
      sendActivityCompletion_ = std::move(completion);
      currentActivity_ = output;
      originalActivity_ = activity;
      finishNow = false;
      if (config && config->dryRun()) {
        ALKLog::debug(this, "Simulate success response, since dry run enabled. {%@}", request->url);
        // Reported from the run loop, as an answer would be.
        platform::RunLoop::main().perform([weakSelf] {
          if (const auto self = weakSelf.lock(); self && self->connection_) self->handleConnectionFinish(nullptr);
        });
      } else if (!connection_->start()) {
        ALKLog::error(this, "Can not handle URL request %@ for activity %@ with properties %@.", request->url, output,
                      propertiesOf(output));
        removeConnection();
        completion = std::move(sendActivityCompletion_);
        finishNow = true;
        error = sendError(kALKErrorNoConnection);
      }
    } else if (!error) {
      ALKLog::error(this, "Can not handle URL request %@ for activity %@ with properties %@.",
                    config ? config->valueForProperty("URLStringEndPoint") : platform::Value(), output,
                    propertiesOf(output));
      error = sendError(kALKErrorNoConnection);
    }
  }
  if (!finishNow) return;
  removeConnection();
  if (completion) completion(*this, output, error);
}

void ALKSendMeasurementActivityFilter::handleConnectionFinish(platform::ErrorPtr failure) {
  const auto activity = std::move(currentActivity_);
  const auto completion = std::move(sendActivityCompletion_);
  const std::int64_t status = response_ ? response_->statusCode() : 0;
  platform::ErrorPtr error;
  if (failure) {
    error = platform::Error::withUnderlying(ALKErrorDomain, kALKErrorSendFailed, failure);
  } else if (status >= 400) {
    error = sendError(kALKErrorSendFailed, {{kALKHTTPResponseKey, platform::Value(status)}});
  }
  removeConnection();
  if (completion) completion(*this, activity, error);
}

void ALKSendMeasurementActivityFilter::removeConnection() {
  if (connection_) {
    ALKLog::debug(this, "Cancel connection %@", connection_->request().url);
    connection_->cancel();
  }
  connection_.reset();
  currentActivity_.reset();
  originalActivity_.reset();
  sendActivityCompletion_ = nullptr;
  response_.reset();
}

void ALKSendMeasurementActivityFilter::cancel() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Cancel execution of the filter operation. {closed: %d, cancelled: %d, executing: %d}",
                isClosed(), isCancelled(), isExecuting());
  ALKQueueFilter::cancel();
  const auto completion = std::move(sendActivityCompletion_);
  const auto activity = std::move(originalActivity_);
  removeConnection();
  if (completion) completion(*this, activity, platform::Error::cancelled());
}

ALKQueueFilter::ProceedErrorHandler ALKSendMeasurementActivityFilter::connectionErrorHandler() {
  std::weak_ptr<ALKSendMeasurementActivityFilter> weakSelf = sharedAs<ALKSendMeasurementActivityFilter>();
  return [weakSelf](const platform::ErrorPtr& error, bool& stop) {
    stop = false;
    const auto self = weakSelf.lock();
    const auto config = self ? self->config() : nullptr;
    if (config && config->valueForProperty(kIgnoresProcessErrorsKey).boolValue()) return;
    // A hit that could not go out for want of a usable endpoint waits like
    // one that failed in transport.
    if (isSendError(error, kALKErrorNoConnection)) {
      stop = true;
      return;
    }
    if (!isSendError(error, kALKErrorSendFailed)) return;
    // Without a status (a transport failure) it counts as 0.
    stop = error->userInfo().objectForKey(kALKHTTPResponseKey).integerValue() < 400;
  };
}
