#include "DQNEXAAccessOperation.h"

#include "DQHTTPStreamError.h"
#include "DQLog.h"
#include "DQNEXAError.h"
#include "DQNEXAExpression.h"
#include "DQNEXAResolvingContext.h"
#include "DQURLAuthenticationChallenge.h"
#include "DQURLAuthenticationManager.h"
#include "DQURLDataAccumulationConsumer.h"
#include "Dispatch/DispatchQueue.h"

using namespace platform;

DQNEXAAccessOperation::DQNEXAAccessOperation(DescriptorPtr descriptor,
                                             std::shared_ptr<DQURLAuthenticationManager> authenticationManager,
                                             std::shared_ptr<DQNEXAResolvingContext> resolvingContext)
    : operationDescriptor_(std::move(descriptor)),
      authenticationManager_(std::move(authenticationManager)),
      resolvingInfo_(std::move(resolvingContext)) {}

DQNEXAAccessOperation::DQNEXAAccessOperation(DescriptorPtr descriptor,
                                             std::shared_ptr<DQURLAuthenticationManager> authenticationManager,
                                             std::shared_ptr<DQNEXAResolvingContext> resolvingContext,
                                             std::shared_ptr<Operation> parentOperation)
    : DQRunLoopOperation(std::move(parentOperation)),
      operationDescriptor_(std::move(descriptor)),
      authenticationManager_(std::move(authenticationManager)),
      resolvingInfo_(std::move(resolvingContext)) {}

void DQNEXAAccessOperation::cancel() {
  DQRunLoopOperation::cancel();
  // The credentials waits sleep on condition variables, not on the run loop.
  std::shared_ptr<DQURLAuthenticationChallenge> challenge;
  {
    std::lock_guard lock(challengeMutex_);
    challenge = challenge_;
  }
  if (challenge) challenge->interruptWaits();
}

ObjectPtr DQNEXAAccessOperation::result() const {
  std::lock_guard lock(outcomeMutex_);
  return result_;
}

ErrorPtr DQNEXAAccessOperation::error() const {
  std::lock_guard lock(outcomeMutex_);
  return error_;
}

void DQNEXAAccessOperation::finishTask(ObjectPtr result, ErrorPtr error) {
  std::lock_guard lock(outcomeMutex_);
  result_ = std::move(result);
  error_ = std::move(error);
}

void DQNEXAAccessOperation::setupNEXACompletionBlock(CompletionBlock block) {
  if (!block) {
    setCompletionBlock(nullptr);
    return;
  }
  std::weak_ptr<DQNEXAAccessOperation> weak = sharedAs<DQNEXAAccessOperation>();
  // Runs on the queue's thread once the operation has finished.
  setCompletionBlock([weak, block = std::move(block)] {
    auto operation = weak.lock();
    if (!operation || !operation->isFinished()) return;
    // Runs on the main thread.
    DispatchQueue::main()->async([weak, block] {
      auto finished = weak.lock();
      if (!finished || finished->isCancelled()) return;
      block(finished);
    });
  });
}

ErrorPtr DQNEXAAccessOperation::errorWithCode(std::int64_t code, ErrorPtr underlying) const {
  return Error::withUnderlying(DQNEXAError::domain(), code, std::move(underlying),
                               Dictionary{{DQNEXAError::requestNameErrorInfoKey(),
                                           Value(operationDescriptor_->operationName())}});
}

std::optional<Url> DQNEXAAccessOperation::combineURL(const Url& baseURL, const std::string& path) {
  if (path.empty()) return baseURL;
  std::string relative = DQNEXAExpression::trimmed(path);
  if (relative.starts_with('/')) relative.erase(0, 1);
  return baseURL.resolve(relative);
}

void DQNEXAAccessOperation::performOperationTask() {
  baseURL_ = resolvingInfo_ ? resolvingInfo_->baseNEXAURL() : std::nullopt;
  streamProvider_ = resolvingInfo_ ? resolvingInfo_->streamProvider() : nullptr;
  if (!baseURL_ || !streamProvider_) {
    // A context that is not finished has no error yet: the printer has not
    // been resolved, which must not read as a success.
    ErrorPtr contextError = resolvingInfo_ ? resolvingInfo_->error() : nullptr;
    finishTask(nullptr, contextError ? contextError : DQNEXAError::error(DQNEXAError::kNotResolved));
    return;
  }
  ErrorPtr error;
  const std::optional<std::string> path = operationDescriptor_->URLPathForOperation(*this, &error);
  if (!path || path->empty()) {
    if (!error) operationResultForConsumer(nullptr, &error);
    finishTask(nullptr, error ? error : errorWithCode(DQNEXAError::kNoPath));
    return;
  }
  const std::optional<Url> url = combineURL(*baseURL_, *path);
  requestURL_ = url;
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[%@] - requesting %@", className(),
                               url ? &*url : nullptr);
  std::shared_ptr<DQURLConnectionConsumer> consumer;
  if (url && resolveStreamProvider(&error)) {
    consumer = processConnectionWithURL(*url, &error);
    // Nothing was sent and nothing stored why: the request could not be made.
    if (!consumer && !error && !operationDescriptor_->resultClass()) error = errorWithCode(DQNEXAError::kCannotRequest);
  } else {
    error = providerFailure(std::move(error));
  }
  if (error) {
    finishTask(nullptr, error);
    return;
  }
  ObjectPtr result = operationResultForConsumer(consumer, &error);
  finishTask(std::move(result), std::move(error));
}

ErrorPtr DQNEXAAccessOperation::providerFailure(ErrorPtr providerError) {
  const bool noNEXA =
      providerError && providerError->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kNoNEXAInterfaces);
  return Error::withUnderlying(DQNEXAError::domain(), noNEXA ? DQNEXAError::kInaccessible : DQNEXAError::kCannotRequest,
                               std::move(providerError));
}

std::shared_ptr<DQURLConnectionConsumer> DQNEXAAccessOperation::processConnectionWithURL(const Url&, ErrorPtr*) {
  return nullptr;
}

bool DQNEXAAccessOperation::resolveStreamProvider(ErrorPtr* error) {
  streamProvider_->startResolving();
  runUntil([this] { return streamProvider_->isResolvingCompleted(); }, kStreamProviderTimeout);
  bool resolved = false;
  ErrorPtr failure;
  if (streamProvider_->isResolvingCompleted()) {
    resolved = streamProvider_->isResolved();
    if (!resolved) failure = streamProvider_->resolvingError();
  } else {
    failure = Error::make(Error::kURLErrorDomain, Error::kURLErrorTimedOut);
  }
  streamProvider_->cancelResolving();
  if (!resolved && error) *error = failure;
  return resolved;
}

std::shared_ptr<DQURLConnectionConsumer> DQNEXAAccessOperation::processConnection(DQURLConnection& connection,
                                                                                  ErrorPtr* error) {
  ErrorPtr openError;
  if (!connection.open(operationDescriptor_->connectionTimeout(), &openError, [this] { return isCancelled(); })) {
    if (error) {
      const bool exclusive =
          openError && openError->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kInterfaceExclusive);
      *error = errorWithCode(exclusive ? DQNEXAError::kInterfaceExclusive : DQNEXAError::kCannotRequest, openError);
    }
    return nullptr;
  }
  runUntil([&connection] { return connection.isLoadingCompleted(); },
           [&connection] { return connection.canBeInterrupted(); });
  connection.close();
  return connection.consumer();
}

void DQNEXAAccessOperation::applyAuthentication(DQURLConnection& connection) {
  if (authRequest_) connection.applyAuthenticationForRequest(*authRequest_, userName_, password_);
}

bool DQNEXAAccessOperation::performAuthentication(bool* authenticationStarted) {
  // Without a manager (the resolving probe) or a challenge no credentials
  // can be had: the authentication fails.
  if (!authenticationManager_) return false;
  const auto cancelled = [this] { return isCancelled(); };
  if (!*authenticationStarted) {
    *authenticationStarted = authenticationManager_->beginAuthenticationUntil(cancelled);
    if (!*authenticationStarted) return false;
  }
  auto challenge = authenticationManager_->challengeForProtectionSpace(authRequest_->protectionSpace(),
                                                                       operationDescriptor_->operationName());
  if (!challenge) return false;
  {
    std::lock_guard lock(challengeMutex_);
    challenge_ = challenge;
  }
  const bool completed = challenge->waitForCompletionUntil(cancelled);
  {
    std::lock_guard lock(challengeMutex_);
    challenge_.reset();
  }
  if (!completed) return false;
  userName_ = challenge->userName();
  password_ = challenge->password();
  return true;
}

bool DQNEXAAccessOperation::isRetryRequiredForConsumer(const std::shared_ptr<DQURLConnectionConsumer>& consumer,
                                                       std::uint64_t* currentRetryNumber) {
  if (consumer->responseStatusCode() == 202) return true;
  if (auto* monitoring = dynamic_cast<IDQNEXAMonitoringOperationDescriptor*>(operationDescriptor_.get())) {
    if ((*currentRetryNumber)++ < operationDescriptor_->maxRetriesCount()) {
      ErrorPtr error;
      ObjectPtr result = operationResultForConsumer(consumer, &error);
      return monitoring->continueMonitoringForResult(result, error);
    }
    monitoring->setReachRetryTimeout(true);
    return false;
  }
  if (const ErrorPtr& loadingError = consumer->loadingError()) {
    return ++*currentRetryNumber < operationDescriptor_->maxRetriesCount() &&
           !DQHTTPStreamError::isNonRecoverable(loadingError);
  }
  return false;
}

std::shared_ptr<DQURLConnectionConsumer> DQNEXAAccessOperation::performRequest(const ConnectionMaker& makeConnection,
                                                                               ErrorPtr* error) {
  std::uint64_t retryNumber = 0;
  bool authenticationStarted = false;
  std::optional<int> lastStatus;
  // Every way out ends the authentication this exchange began.
  struct AuthenticationEnd {
    DQNEXAAccessOperation& operation;
    const bool& started;
    const std::optional<int>& status;
    ~AuthenticationEnd() {
      if (started && operation.authenticationManager_) operation.authenticationManager_->endAuthentication(status == 200);
    }
  } authenticationEnd{*this, authenticationStarted, lastStatus};

  std::shared_ptr<DQURLConnectionConsumer> consumer;
  for (bool firstPass = true; !isCancelled(); firstPass = false) {
    // A USB printer is let go when an exchange ends: each further pass finds
    // it again (the network and file providers stay resolved).
    ErrorPtr providerError;
    if (!firstPass && !resolveStreamProvider(&providerError)) {
      if (error) *error = providerFailure(std::move(providerError));
      return nullptr;
    }
    auto connection = makeConnection();
    if (!connection) {
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelWarning,
                                   "[DQNEXAAccessOperation] - Connection creation failed for URL: %@.",
                                   requestURL_ ? &*requestURL_ : nullptr);
      return consumer;
    }
    // The previous pass's answer serves no more from here on: its body goes
    // before the next one comes.
    consumer.reset();
    applyAuthentication(*connection);
    auto passConsumer = processConnection(*connection, error);
    if (!passConsumer) return nullptr;
    consumer = passConsumer;
    if (isCancelled()) break;
    // A pass without a challenge keeps the last one: the credentials it
    // got through with go with the next passes too, unasked.
    if (auto challenged = consumer->authenticationRequest()) {
      authRequest_ = std::move(challenged);
      if (!performAuthentication(&authenticationStarted)) break;
      continue;
    }
    lastStatus = consumer->responseStatusCode();
    if (!isRetryRequiredForConsumer(consumer, &retryNumber)) {
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug,
                                   "[DQNEXAAccessOperation] - Request with URL: %@ did finish with code %ld.",
                                   connection->requestURL(), static_cast<long>(lastStatus.value_or(0)));
      break;
    }
    runUntilTimeout(operationDescriptor_->timeoutBetweenRetries());
  }
  return consumer;
}

ObjectPtr DQNEXAAccessOperation::operationResultForConsumer(const std::shared_ptr<DQURLConnectionConsumer>& consumer,
                                                            ErrorPtr* error) {
  const std::optional<DQNEXAResultClass>& resultClass = operationDescriptor_->resultClass();
  auto fail = [error](ErrorPtr failure) -> ObjectPtr {
    if (error) *error = std::move(failure);
    return nullptr;
  };
  if (resultClass && !resultClass->documentWithData) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[%@] - completed with incorrect result class", className());
    return fail(errorWithCode(DQNEXAError::kResultNotBuilt));
  }
  if (!consumer) {
    const bool reportable = resultClass && error;
    com_zarn_NEXAKit_TolvekDQLog(reportable ? kDQLogLevelError : kDQLogLevelDebug, "[%@] - completed with nil consumer",
                                 className());
    return reportable ? fail(errorWithCode(DQNEXAError::kResultNotBuilt)) : nullptr;
  }
  if (const ErrorPtr& loadingError = consumer->loadingError()) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQNEXAAccessOperation] - request completed with error: %@:%@",
                                 loadingError->domain(), loadingError->code());
    return fail(errorWithCode(DQNEXAError::kResultNotBuilt, loadingError));
  }
  const int status = consumer->responseStatusCode().value_or(0);
  if (status != 200) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQNEXAAccessOperation] - Request completed with resopnse code: %@",
                                 status);
    const std::int64_t code = status == 401   ? DQNEXAError::kUnauthorized
                              : status == 404 ? DQNEXAError::kNoPath
                                              : DQNEXAError::kUnexpectedStatus;
    return fail(errorWithCode(code, Error::make(Error::kURLErrorDomain, status)));
  }
  if (!resultClass) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelInfo,
                                 "[DQNEXAAccessOperation] - Request completion status: %ld, response is not needed",
                                 static_cast<long>(status));
    return nullptr;
  }
  const auto* accumulated = dynamic_cast<const DQURLDataAccumulationConsumer*>(consumer.get());
  ErrorPtr parseError;
  ObjectPtr result = resultClass->documentWithData(accumulated ? &accumulated->responseData() : nullptr, &parseError);
  if (!result) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQNEXAAccessOperation] - Request completed, error parsing result: %@",
                                 parseError ? std::to_string(parseError->code()) : std::string("<unknown error>"));
    return fail(errorWithCode(DQNEXAError::kParseFailure, parseError));
  }
  if (auto* receiver = dynamic_cast<IDQNEXAHeaderReceiver*>(result.get())) receiver->setHeader(consumer->responseHeader());
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelInfo, "[DQNEXAAccessOperation] - Request completed, result: %@",
                               result->className());
  return result;
}
