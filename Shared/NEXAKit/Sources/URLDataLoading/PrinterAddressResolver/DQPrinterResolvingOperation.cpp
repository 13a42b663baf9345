#include "DQPrinterResolvingOperation.h"

#include "DQHTTPStreamError.h"
#include "DQLocalFileHTTPStreamProvider.h"
#include "DQLog.h"
#include "DQNEXADataLoadingOperation.h"
#include "DQNEXAError.h"
#include "DQNEXAResolvingContext.h"
#include "DQNEXASingleOperationDescriptor.h"
#include "DQNetworkHTTPStreamProvider.h"
#include "DQURL.h"
#include "DQUSBStreamProvider.h"

using namespace platform;

DQPrinterResolvingOperation::DQPrinterResolvingOperation(std::optional<Url> printerURI, bool useProxy,
                                                         bool validateCertificates,
                                                         std::shared_ptr<DQNEXAResolvingContext> resolvingContext,
                                                         ResolverFactory resolverFactory)
    : useSystemProxyFlag_(useProxy),
      validateHTTPSCertificatesFlag_(validateCertificates),
      printerURI_(std::move(printerURI)),
      resolvingContext_(std::move(resolvingContext)),
      resolverFactory_(std::move(resolverFactory)) {}

ErrorPtr DQPrinterResolvingOperation::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::optional<Dictionary> DQPrinterResolvingOperation::resolutionInfo() const {
  std::lock_guard lock(mutex_);
  return resolutionInfo_;
}

std::shared_ptr<IDQHTTPStreamProvider> DQPrinterResolvingOperation::streamProviderForURL(const Url& url, bool useProxy,
                                                                                         bool validateCertificates) {
  std::shared_ptr<IDQHTTPStreamProvider> provider;
  if (url.isFileUrl()) {
    provider = DQLocalFileHTTPStreamProvider::make();
  } else if (url.hasScheme("nexausb")) {
    provider = std::make_shared<DQUSBStreamProvider>(url);
  }
  if (!provider) provider = DQNetworkHTTPStreamProvider::initUsingProxy(useProxy, validateCertificates);
  return provider;
}

void DQPrinterResolvingOperation::fail(std::int64_t code) {
  auto failure = DQNEXAError::error(code);
  {
    std::lock_guard lock(mutex_);
    error_ = failure;
  }
  resolvingContext_->finishWithError(failure);
}

bool DQPrinterResolvingOperation::probe(const Url& accessURL, bool* inaccessible) {
  auto provider = streamProviderForURL(accessURL, useSystemProxyFlag_, validateHTTPSCertificatesFlag_);
  auto probeContext = std::make_shared<DQNEXAResolvingContext>();
  probeContext->finishWithBaseNEXAURL(accessURL, provider);
  auto descriptor = std::make_shared<DQNEXASingleOperationDescriptor>("", kDiscoveryTreePath, std::nullopt, false,
                                                                      20.0, 3, 2.0);
  auto probe = std::make_shared<DQNEXADataLoadingOperation>(descriptor, nullptr, probeContext,
                                                            sharedAs<Operation>());
  probe->performOperationTask();
  if (isCancelled()) return false;
  const ErrorPtr error = probe->error();
  if (!error) {
    resolvingContext_->finishWithBaseNEXAURL(accessURL, provider);
    return true;
  }
  if (error->domain() == DQNEXAError::domain()) {
    const auto code = error->code();
    const ErrorPtr underlying = error->underlyingError();
    if (code == DQNEXAError::kInaccessible || code == DQNEXAError::kUnexpectedStatus ||
        code == DQNEXAError::kNoPath ||
        (code == DQNEXAError::kResultNotBuilt && underlying &&
         underlying->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kConnectionRefused))) {
      *inaccessible = true;
    }
  }
  return false;
}

void DQPrinterResolvingOperation::performOperationTask() {
  if (resolvingContext_->isFinished()) {
    std::lock_guard lock(mutex_);
    error_ = resolvingContext_->error();
    return;
  }
  auto resolver = resolverFactory_ ? resolverFactory_(printerURI_) : DQPrinterURLResolver::resolverWithPrinterURI(printerURI_);
  if (!resolver) {
    fail(DQNEXAError::kCannotRequest);
    return;
  }
  auto source = DQLevelZeroRunLoopSource::make();
  source->scheduleInRunLoop();
  bool done = false;
  std::optional<Dictionary> info;
  std::vector<Url> accessURLs;
  // Runs on this thread's run loop, at most once; cancel() below keeps it
  // from running after the wait.
  const bool started = resolver->startResolving([&](const std::optional<Dictionary>& result) {
    info = result;
    const Value urls = result ? result->objectForKey(DQPrinterURLResolver::kAccessURLsKey) : Value();
    if (const Array* array = urls.array()) {
      for (const Value& url : *array) {
        if (url.url()) accessURLs.push_back(*url.url());
      }
    }
    done = true;
    source->signal();
  });
  // A resolver that declined without answering will never answer.
  if (!started) done = true;
  runUntil([&] { return done; });
  resolver->cancel();
  source->invalidate();
  if (isCancelled()) return;

  if (accessURLs.empty()) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelWarning,
                                 "[DQPrinterResolvingOperation] - Can't resolve the host, Try to format URL manually");
    if (printerURI_) {
      if (auto url = DQURL::URLWithScheme("http", printerURI_->host(), "")) accessURLs.push_back(*url);
    }
  }
  bool inaccessible = false;
  for (const Url& accessURL : accessURLs) {
    if (isCancelled()) return;
    const bool succeeded = probe(accessURL, &inaccessible);
    if (isCancelled()) return;
    if (succeeded) {
      {
        std::lock_guard lock(mutex_);
        resolutionInfo_ = info;
      }
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelInfo, "[DQPrinterResolvingOperation] - Printer resolving succeeded");
      return;
    }
  }
  if (inaccessible) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                 "[DQPrinterResolvingOperation] - Printer resolving failed (Device Inaccessible)");
    fail(DQNEXAError::kInaccessible);
    return;
  }
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelWarning,
                               "[DQPrinterResolvingOperation] - Printer resolving failed (NEXA Not supported)");
  fail(DQNEXAError::kCannotRequest);
}
