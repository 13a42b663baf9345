#include "DQNEXASession.h"

#include <algorithm>

#include "DQLog.h"
#include "DQNEXAError.h"
#include "Dispatch/DispatchQueue.h"

using namespace platform;

std::shared_ptr<DQNEXASession> DQNEXASession::make(std::optional<Url> printerURI, std::optional<Url> baseNEXAURL,
                                                   bool useProxy, bool validateCertificates,
                                                   CredentialsBlock credentialsResolveBlock) {
  auto session = std::make_shared<DQNEXASession>(Passkey(), std::move(printerURI), std::move(baseNEXAURL), useProxy,
                                                 validateCertificates, std::move(credentialsResolveBlock));
  DQURLAuthenticationManager::ObtainCredentialBlock obtain;
  if (session->authBlock_) {
    std::weak_ptr<DQNEXASession> weak = session;
    // Runs on the operation's thread; the client's block runs on main.
    obtain = [weak](std::shared_ptr<DQURLAuthenticationChallenge> challenge, std::uint64_t retryNumber) {
      DispatchQueue::main()->async([weak, challenge, retryNumber] {
        // Nobody is asked once the client let the session go: the request
        // that asks was cancelled then. The prompt may let it go itself.
        const auto session = weak.lock();
        if (session && !session->isLetGo()) session->authBlock_(challenge, retryNumber);
      });
    };
  }
  session->authManager_ = std::make_shared<DQURLAuthenticationManager>(std::move(obtain));
  auto handle = std::make_shared<ClientHandle>(std::move(session));
  return std::shared_ptr<DQNEXASession>(handle, handle->session.get());
}

std::shared_ptr<DQNEXASession> DQNEXASession::make(std::optional<Url> printerURI, std::optional<Url> baseNEXAURL,
                                                   CredentialsBlock credentialsResolveBlock) {
  return make(std::move(printerURI), std::move(baseNEXAURL), true, true, std::move(credentialsResolveBlock));
}

DQNEXASession::DQNEXASession(Passkey, std::optional<Url> printerURI, std::optional<Url> baseNEXAURL, bool useProxy,
                             bool validateCertificates, CredentialsBlock credentialsResolveBlock)
    : useSystemProxyFlag_(useProxy),
      validateHTTPSCertificatesFlag_(validateCertificates),
      printerURI_(std::move(printerURI)),
      baseURL_(std::move(baseNEXAURL)),
      operationQueue_(std::make_unique<OperationQueue>("com.zarn.NEXAKit.session")),
      authBlock_(std::move(credentialsResolveBlock)),
      printerResolvingContext_(std::make_shared<DQNEXAResolvingContext>()) {
  operationQueue_->setMaxConcurrentOperationCount(1);
}

DQNEXASession::~DQNEXASession() {
  if (printerResolvingOperation_) printerResolvingOperation_->cancel();
  cancelAllOperations(false);
  operationQueue_.reset();  // joins the worker once the cancelled operations ended
}

DQNEXASession::ClientHandle::ClientHandle(std::shared_ptr<DQNEXASession> owned) : session(std::move(owned)) {}

DQNEXASession::ClientHandle::~ClientHandle() {
  // From now on no block of the client starts whose look at the mark, right
  // before it on the main thread, comes later. The tables are the main thread's, and so is the
  // session's end, which this reference may bring: another thread hands both
  // over and touches nothing else.
  session->letGo_ = true;
  if (DispatchQueue::isMainThread()) {
    session->clientLetGo();
    return;
  }
  DispatchQueue::main()->async([letGo = std::move(session)] { letGo->clientLetGo(); });
}

void DQNEXASession::clientLetGo() {
  // Our own holds may keep the session a while longer (a block of the
  // client that spins the run loop, a prompt): what ran for the client
  // stops, as if the session were gone.
  cancelAllRequests(false);
}

// --- resolving

void DQNEXASession::schedulePrinterResolve(ResolveCompletion completion) {
  launchResolvingIfNeeded(std::move(completion));
}

void DQNEXASession::launchResolvingIfNeeded(ResolveCompletion completion) {
  if (printerResolvingState_ != kNotResolved && printerResolvingState_ != kResolving) {
    answerAtOnce(completion, printerResolutionInfo_, printerResolutionError_);
    return;
  }
  // Queued behind the callers that already wait (after setNeedsReresolve,
  // some may wait in state 0): a resolving that ends at once answers them
  // all, in order.
  if (completion) resolveCompletionBlocks_.push_back(std::move(completion));
  if (printerResolvingState_ == kResolving) return;
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelInfo, "[DQNEXASession] - start printer resolving");
  if (baseURL_) {
    printerResolvingContext_->finishWithBaseNEXAURL(
        *baseURL_, streamProviderForURL(*baseURL_, useSystemProxyFlag_, validateHTTPSCertificatesFlag_));
    printerResolvingState_ = kResolved;
    printerResolutionError_ = nullptr;
    printerResolutionInfo_ = std::nullopt;
    answerResolveCompletions();
    return;
  }
  if (printerURI_) {
    printerResolvingState_ = kResolving;
    auto operation = std::make_shared<DQPrinterResolvingOperation>(
        printerURI_, useSystemProxyFlag_, validateHTTPSCertificatesFlag_, printerResolvingContext_, resolverFactory_);
    printerResolvingOperation_ = operation;
    std::weak_ptr<DQNEXASession> weak = weak_from_this();
    std::weak_ptr<DQPrinterResolvingOperation> weakOperation = operation;
    // Runs on the queue's thread once the resolving has finished.
    operation->setCompletionBlock([weak, weakOperation] {
      auto finished = weakOperation.lock();
      if (!finished) return;
      DispatchQueue::main()->async([weak, finished] {
        if (const auto session = weak.lock()) session->completeResolveWithResolvingOperation(finished);
      });
    });
    operationQueue_->addOperation(operation);
    return;
  }
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQNEXASession] - Printer resolving failed (Device URL is unavailable)");
  printerResolutionError_ = DQNEXAError::error(DQNEXAError::kCannotRequest);
  printerResolutionInfo_ = std::nullopt;
  printerResolvingContext_->finishWithError(printerResolutionError_);
  printerResolvingState_ = kFailed;
  answerResolveCompletions();
}

template <class Block, class... Arguments>
void DQNEXASession::answerAtOnce(const Block& block, Arguments... arguments) const {
  // The arguments are copies: the block may change the session's outcome
  // or let the session go while it reads them. Nothing is touched after it.
  if (block && !isLetGo()) block(arguments...);
}

template <class Block, class... Arguments>
void DQNEXASession::answer(std::optional<std::string> requestName, const std::vector<Block>& blocks,
                           const Arguments&... arguments) {
  // A block answered at once may drop the client's last reference; the
  // session goes when this hold does, after its last touch below.
  const auto hold = weak_from_this().lock();
  Answering answering{std::move(requestName)};
  answering_.push_back(&answering);
  for (const auto& block : blocks) {
    if (answering.stopped || isLetGo()) break;
    block(arguments...);
  }
  std::erase(answering_, &answering);
}

void DQNEXASession::stopAnswering(const std::function<bool(const Answering&)>& covered) {
  for (Answering* answering : answering_) {
    if (covered(*answering)) answering->stopped = true;
  }
}

void DQNEXASession::answerResolveCompletions() {
  const auto blocks = std::exchange(resolveCompletionBlocks_, {});
  // Every caller gets the outcome this resolving ended with, whatever an
  // earlier one starts meanwhile.
  const auto info = printerResolutionInfo_;
  const auto error = printerResolutionError_;
  answer(std::nullopt, blocks, info, error);
}

void DQNEXASession::startOverResolving() {
  printerResolvingOperation_ = nullptr;
  printerResolvingState_ = kNotResolved;
  printerResolvingContext_ = std::make_shared<DQNEXAResolvingContext>();
}

void DQNEXASession::abandonResolving() {
  if (printerResolvingState_ != kResolving) return;
  startOverResolving();
  resolveCompletionBlocks_.clear();
}

void DQNEXASession::completeResolveWithResolvingOperation(const std::shared_ptr<DQPrinterResolvingOperation>& operation) {
  if (!operation || operation != printerResolvingOperation_) return;
  if (operation->isCancelled()) {
    // Cancelled by someone holding the operation: as a cancel through the
    // session, the callers are let go and the next caller starts over.
    abandonResolving();
    return;
  }
  printerResolutionInfo_ = operation->resolutionInfo();
  printerResolutionError_ = operation->error();
  if (!printerResolutionError_) {
    printerResolvingState_ = kResolved;
  } else {
    printerResolvingState_ = printerResolutionError_->code() == DQNEXAError::kInaccessible ? kInaccessible : kFailed;
  }
  answerResolveCompletions();
}

void DQNEXASession::cancelPrinterResolve(bool wait) {
  if (printerResolvingState_ == kResolving) {
    printerResolutionError_ = nullptr;
    cancelAllOperations(wait);
  }
  resolveCompletionBlocks_.clear();
  stopAnswering([](const Answering& answering) { return !answering.requestName; });
}

void DQNEXASession::setNeedsReresolve() {
  // A resolving that ends at once answers the waiting callers, who may let
  // the session go.
  const auto hold = weak_from_this().lock();
  const auto previous = printerResolvingOperation_;
  const auto previousContext = printerResolvingContext_;
  // Requests queued behind a resolving that is dropped before its end.
  std::vector<std::shared_ptr<Operation>> waiting;
  const bool abandoning = printerResolvingState_ == kResolving && previous;
  if (abandoning) {
    for (const auto& queued : operationQueue_->operations()) {
      const auto dependencies = queued->dependencies();
      if (std::find(dependencies.begin(), dependencies.end(), previous) != dependencies.end()) {
        waiting.push_back(queued);
      }
    }
  }
  startOverResolving();
  // Callers still waiting for the resolving that was dropped get the
  // outcome of a new one. The waiting requests read it through their own
  // context, which follows the new one from before it can end: a resolving
  // that ends at once answers resolve completions that may restart it yet
  // again, for the callers after them.
  if (abandoning) previousContext->followResolvingOf(printerResolvingContext_);
  if (!resolveCompletionBlocks_.empty() || !waiting.empty()) launchResolvingIfNeeded(nullptr);
  // They wait for it when it runs, from before the dropped resolving lets
  // them go.
  for (const auto& operation : waiting) waitForResolving(operation, previousContext);
  if (previous) previous->cancel();
}

bool DQNEXASession::checkResolvingStatus(const ResolveCompletion& completion) {
  if (printerResolvingState_ == kResolved) return true;
  if (completion) {
    const std::int64_t code = printerResolvingState_ == kFailed         ? DQNEXAError::kCannotRequest
                              : printerResolvingState_ == kInaccessible ? DQNEXAError::kInaccessible
                                                                        : DQNEXAError::kNotResolved;
    answerAtOnce(completion, std::nullopt, DQNEXAError::error(code));
  }
  return false;
}

// --- requests

void DQNEXASession::launchOperation(const std::shared_ptr<DQNEXAAccessOperation>& operation) {
  std::weak_ptr<DQNEXASession> weak = weak_from_this();
  operation->setupNEXACompletionBlock([weak](const std::shared_ptr<DQNEXAAccessOperation>& finished) {
    if (const auto session = weak.lock()) session->handleCompletion(finished);
  });
  operationsCache_[operation->operationDescriptor()->operationName()] = operation;
  launchResolvingIfNeeded(nullptr);
  waitForResolving(operation, operation->resolvingInfo());
  operationQueue_->addOperation(operation);
}

void DQNEXASession::waitForResolving(const std::shared_ptr<Operation>& operation,
                                     const std::shared_ptr<DQNEXAResolvingContext>& context) {
  if (!printerResolvingOperation_ || !context || context->isFinished()) return;
  // The operation reads the outcome of the resolving it waits for.
  context->followResolvingOf(printerResolvingOperation_->resolvingContext());
  operation->addDependency(printerResolvingOperation_);
}

bool DQNEXASession::setupOperationDependencies(const std::shared_ptr<DQNEXAAccessOperation>& operation,
                                               std::vector<std::string>& chain) {
  const auto names = operation->operationDescriptor()->operationDependencies();
  if (!names) return true;
  std::vector<std::shared_ptr<DQNEXAAccessOperation>> dependencies;
  for (const std::string& name : *names) {
    if (auto cached = operationsCache_.find(name); cached != operationsCache_.end()) {
      dependencies.push_back(cached->second);
      continue;
    }
    // A name that is being set up further up needs itself: a cycle.
    if (std::find(chain.begin(), chain.end(), name) != chain.end()) return false;
    auto dependency = operationFactory_.instantiateOperationRegisteredWithName(name, authManager_,
                                                                               printerResolvingContext_);
    if (!dependency) return false;
    chain.push_back(name);
    const bool ready = setupOperationDependencies(dependency, chain);
    chain.pop_back();
    if (!ready) return false;
    launchOperation(dependency);
    dependencies.push_back(dependency);
  }
  for (const auto& dependency : dependencies) operation->addDependency(dependency);
  return true;
}

void DQNEXASession::addCompletionBlock(RequestCompletion block, const std::string& name) {
  if (block) completionBlocks_[name].push_back(std::move(block));
}

void DQNEXASession::handleCompletion(const std::shared_ptr<DQNEXAAccessOperation>& operation) {
  operation->setupNEXACompletionBlock(nullptr);
  const std::string& name = operation->operationDescriptor()->operationName();
  auto cached = operationsCache_.find(name);
  // The entry and the blocks of the name belong to the operation cached
  // under it; an operation that was replaced leaves them alone.
  if (cached == operationsCache_.end() || cached->second != operation) return;
  if (!operation->operationDescriptor()->isCacheSupported() || operation->error()) operationsCache_.erase(cached);
  auto blocks = completionBlocks_.extract(name);
  if (blocks.empty()) return;
  const ObjectPtr result = operation->result();
  const ErrorPtr error = operation->error();
  answer(name, blocks.mapped(), result, error);
}

std::optional<std::string> DQNEXASession::scheduleRequestWithName(const std::string& name,
                                                                  const OperationMaker& makeOperation,
                                                                  RequestCompletion completion) {
  if (name.empty()) return std::nullopt;
  if (auto cached = operationsCache_.find(name); cached != operationsCache_.end()) {
    if (cached->second->isFinished()) {
      answerAtOnce(completion, cached->second->result(), cached->second->error());
    } else {
      addCompletionBlock(std::move(completion), name);
    }
    return name;
  }
  auto operation = makeOperation ? makeOperation() : nullptr;
  std::vector<std::string> chain;
  if (operation) chain.push_back(operation->operationDescriptor()->operationName());
  if (!operation || !setupOperationDependencies(operation, chain)) {
    answerAtOnce(completion, nullptr, DQNEXAError::error(DQNEXAError::kDependencyMissing));
    return std::nullopt;
  }
  const std::string operationName = operation->operationDescriptor()->operationName();
  addCompletionBlock(std::move(completion), operationName);
  launchOperation(operation);
  return operationName;
}

std::optional<std::string> DQNEXASession::scheduleRequestRegisteredWithName(const std::string& name,
                                                                            RequestCompletion completion) {
  return scheduleRequestWithName(
      name,
      [this, &name] {
        return operationFactory_.instantiateOperationRegisteredWithName(name, authManager_, printerResolvingContext_);
      },
      std::move(completion));
}

std::optional<std::string> DQNEXASession::scheduleRequestWithDescriptor(
    const std::shared_ptr<IDQNEXAOperationDescriptor>& descriptor, RequestCompletion completion) {
  if (!descriptor) {
    answerAtOnce(completion, nullptr, DQNEXAError::error(DQNEXAError::kNoPath));
    return std::nullopt;
  }
  return scheduleRequestWithName(
      descriptor->operationName(),
      [this, &descriptor]() -> std::shared_ptr<DQNEXAAccessOperation> {
        if (dynamic_cast<IDQPutDataNEXAOperationDescriptor*>(descriptor.get())) {
          return operationFactory_.instantiateUnregisteredPutDataOperation(descriptor, authManager_,
                                                                           printerResolvingContext_);
        }
        if (dynamic_cast<IDQPostDataNEXAOperationDescriptor*>(descriptor.get())) {
          return operationFactory_.instantiateUnregisteredPostDataOperation(descriptor, authManager_,
                                                                            printerResolvingContext_);
        }
        return operationFactory_.instantiateUnregisteredDataAccessOperation(descriptor, authManager_,
                                                                            printerResolvingContext_);
      },
      std::move(completion));
}

std::optional<std::string> DQNEXASession::scheduleDataRetrievingForPath(
    const std::string& path, const std::optional<DQNEXAResultClass>& resultClass, RequestCompletion completion) {
  if (path.empty()) return std::nullopt;
  const std::string name = DQNEXAOperationFactory::defaultSingleOperationNameForPath(path, resultClass);
  auto cached = operationsCache_.find(name);
  // A finished operation of that name answers at once, as for any name.
  if (cached != operationsCache_.end() && cached->second->isFinished()) {
    answerAtOnce(completion, cached->second->result(), cached->second->error());
    return name;
  }
  addCompletionBlock(std::move(completion), name);
  if (cached == operationsCache_.end()) {
    launchOperation(operationFactory_.instantiateUnregisteredSingleDataAccessOperation(path, resultClass, authManager_,
                                                                                       printerResolvingContext_));
  }
  return name;
}

std::optional<std::string> DQNEXASession::scheduleDataUploading(const Value& data, const std::string& path,
                                                                RequestCompletion completion) {
  auto operation =
      operationFactory_.instantiateUnregisteredPutDataOperation(path, data, authManager_, printerResolvingContext_);
  const std::string name = operation->operationDescriptor()->operationName();
  addCompletionBlock(std::move(completion), name);
  launchOperation(operation);
  return name;
}

ObjectPtr DQNEXASession::cachedResultForRequestRegisteredWithName(const std::string& name) const {
  auto cached = operationsCache_.find(name);
  if (cached == operationsCache_.end() || !cached->second->isFinished()) return nullptr;
  return cached->second->result();
}

// --- cancelling

void DQNEXASession::cancelRequest(const std::string& name) {
  // The name's completions go with the request: a request scheduled under
  // the name later gets only its own.
  completionBlocks_.erase(name);
  stopAnswering([&name](const Answering& answering) { return answering.requestName == name; });
  auto cached = operationsCache_.find(name);
  if (cached == operationsCache_.end()) return;
  const auto& operation = cached->second;
  if (!operation->isFinished() && !operation->isCancelled()) operation->cancel();
  operation->setupNEXACompletionBlock(nullptr);
  operationsCache_.erase(cached);
}

void DQNEXASession::cancelAllRequests(bool wait) {
  cancelPrinterResolve(false);
  cancelAllOperations(wait);
}

void DQNEXASession::cancelAllOperations(bool wait) {
  // The queue cancels the resolving operation below. Its callers are let go
  // like the requests', and the next resolve or request starts a new
  // resolving with a fresh context instead of waiting for this one.
  abandonResolving();
  for (const auto& [name, operation] : operationsCache_) {
    if (operation->isExecuting()) operation->cancel();
    operation->setupNEXACompletionBlock(nullptr);
  }
  operationsCache_.clear();
  completionBlocks_.clear();
  stopAnswering([](const Answering& answering) { return answering.requestName.has_value(); });
  operationQueue_->cancelAllOperations();
  if (wait) operationQueue_->waitUntilAllOperationsAreFinished();
}

void DQNEXASession::waitUntilAllOperationsAreFinished() { operationQueue_->waitUntilAllOperationsAreFinished(); }

// --- registrations

std::optional<std::string> DQNEXASession::registerDataRetrievingRequest(
    const std::string& name, const std::string& path, const std::optional<DQNEXAResultClass>& resultClass,
    std::uint64_t retriesCount, bool cacheSupported) {
  return operationFactory_.registerSingleDataAccessOperation(name, path, resultClass, retriesCount, cacheSupported);
}

std::optional<std::string> DQNEXASession::registerDataRetrievingRequest(
    const std::string& name, const std::vector<std::string>& dependencies, const std::string& pathExpression,
    const std::optional<DQNEXAResultClass>& resultClass, bool cacheSupported) {
  return operationFactory_.registerDependentDataAccessOperation(name, dependencies, pathExpression, resultClass,
                                                                cacheSupported);
}

std::optional<std::string> DQNEXASession::registerDataRetrievingRequestWithDescriptor(
    const std::shared_ptr<IDQNEXAOperationDescriptor>& descriptor) {
  return operationFactory_.registerDataAccessOperation(descriptor);
}

std::optional<std::string> DQNEXASession::registerDataUploadingRequestWithDescriptor(
    const std::shared_ptr<IDQNEXAOperationDescriptor>& descriptor) {
  return operationFactory_.registerPutDataOperation(descriptor);
}

void DQNEXASession::unregisterAllRequests() { operationFactory_.unregisterAllRequests(); }
