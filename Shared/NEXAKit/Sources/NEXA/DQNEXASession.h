#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DQNEXAAccessOperation.h"
#include "DQNEXAOperationFactory.h"
#include "DQNEXAResolvingContext.h"
#include "DQPrinterResolvingOperation.h"
#include "DQURLAuthenticationChallenge.h"
#include "DQURLAuthenticationManager.h"
#include "Dispatch/OperationQueue.h"
#include "Errors/Error.h"
#include "Values/Dictionary.h"
#include "Values/Url.h"

// What a client talks to for NEXA data from one printer: it resolves the
// printer's address once (or takes a given base URL), keeps the registered
// requests, and runs each request as an access operation on one serial
// queue, behind the resolving and behind the requests it depends on.
// Finished operations whose descriptors allow it stay cached by name.
//
// Threads: the client calls every method on the main thread, and the tables
// are touched only there. Operation completions, the end of resolving and the
// credentials block run later on the main queue; immediate answers (cached
// results, errors, a finished resolving) run on the caller's thread, inside
// the call. Closures hold the session weakly; destroying it cancels its
// operations and joins its worker. The one exception: the client may drop
// its last reference on any thread.
//
// The references that make() hands out are the client's: when the last of
// them goes, the session is let go, on whatever thread that happens. From the
// moment that release returns, no block of the client (completions,
// immediate answers, the credentials block) starts that the main thread had
// not already begun to start, even while a call of its own still holds the
// session (a block of the client that spins the run loop): the mark of the
// release is checked right before each block, so only one whose check came
// just before the release may still start just after it. A block already
// running on the main thread runs to its end. The rest of
// letting go (cancelling the requests and the resolving) runs on the main
// thread: at once when the last reference went there, posted from any other
// thread, which touches nothing else of the session.
//
// Waiting on the main thread for every operation (waitUntilAllOperationsAreFinished,
// or a cancel with wait = false replaced by true) while an operation waits for
// credentials that only the main queue can deliver would never end unless the
// operations are cancelled: use cancelAllRequests(true) there.
class DQNEXASession : public std::enable_shared_from_this<DQNEXASession> {
 public:
  // (result or nullptr, error or nullptr)
  using RequestCompletion = std::function<void(const platform::ObjectPtr& result, const platform::ErrorPtr& error)>;
  // (resolution info or none, error or nullptr)
  using ResolveCompletion =
      std::function<void(const std::optional<platform::Dictionary>& info, const platform::ErrorPtr& error)>;
  // Asked on the main queue; answers later through the challenge.
  using CredentialsBlock =
      std::function<void(const std::shared_ptr<DQURLAuthenticationChallenge>& challenge, std::uint64_t retryNumber)>;
  using OperationMaker = std::function<std::shared_ptr<DQNEXAAccessOperation>()>;

  enum ResolvingState : std::int64_t {
    kNotResolved = 0,
    kResolving = 1,
    kResolved = 2,
    kFailed = 3,
    kInaccessible = 4,
  };

  // Only make() builds sessions.
  class Passkey {
    friend class DQNEXASession;
    Passkey() = default;
  };

  static std::shared_ptr<DQNEXASession> make(std::optional<platform::Url> printerURI,
                                             std::optional<platform::Url> baseNEXAURL, bool useProxy,
                                             bool validateCertificates, CredentialsBlock credentialsResolveBlock);
  // Both flags on.
  static std::shared_ptr<DQNEXASession> make(std::optional<platform::Url> printerURI,
                                             std::optional<platform::Url> baseNEXAURL,
                                             CredentialsBlock credentialsResolveBlock);
  ~DQNEXASession();
  DQNEXASession(const DQNEXASession&) = delete;
  DQNEXASession& operator=(const DQNEXASession&) = delete;

  // --- resolving
  void schedulePrinterResolve(ResolveCompletion completion);
  void launchResolvingIfNeeded(ResolveCompletion completion);
  void completeResolveWithResolvingOperation(const std::shared_ptr<DQPrinterResolvingOperation>& operation);
  // Drops the waiting resolve completions without calling them; while
  // resolving, also cancels every operation (waiting for them with `wait`).
  void cancelPrinterResolve(bool wait);
  // Forgets the resolving outcome: requests made from now on get a fresh
  // context, resolved by the next resolving. Resolve completions and
  // requests still waiting for a resolving are answered by one started at
  // once.
  void setNeedsReresolve();
  // YES when resolved; otherwise NO, and `completion` gets NEXA error 7
  // (failed), 9 (inaccessible) or 10 (not resolved yet) at once.
  bool checkResolvingStatus(const ResolveCompletion& completion);

  // --- requests; each answers the request's name, or none.
  std::optional<std::string> scheduleDataRetrievingForPath(const std::string& path,
                                                           const std::optional<DQNEXAResultClass>& resultClass,
                                                           RequestCompletion completion);
  std::optional<std::string> scheduleDataUploading(const platform::Value& data, const std::string& path,
                                                   RequestCompletion completion);
  std::optional<std::string> scheduleRequestRegisteredWithName(const std::string& name, RequestCompletion completion);
  std::optional<std::string> scheduleRequestWithDescriptor(
      const std::shared_ptr<IDQNEXAOperationDescriptor>& descriptor, RequestCompletion completion);
  std::optional<std::string> scheduleRequestWithName(const std::string& name, const OperationMaker& makeOperation,
                                                     RequestCompletion completion);
  // The result of a finished cached operation of that name.
  platform::ObjectPtr cachedResultForRequestRegisteredWithName(const std::string& name) const;

  // --- cancelling; cancelled requests never call their completions, also
  // when the cancel comes from one of their completions: the completions
  // after it are not called. Neither are they once the client let the
  // session go from inside a completion.
  // Cancels the request of that name and drops every completion stored
  // under the name.
  void cancelRequest(const std::string& name);
  void cancelAllRequests(bool wait);
  // Cancels every operation and drops the request completions. A resolving
  // that runs is cancelled too: its resolve completions are dropped, and the
  // next resolve or request starts a new resolving.
  void cancelAllOperations(bool wait);
  void waitUntilAllOperationsAreFinished();

  // --- registrations (the factory's)
  std::optional<std::string> registerDataRetrievingRequest(const std::string& name, const std::string& path,
                                                           const std::optional<DQNEXAResultClass>& resultClass,
                                                           std::uint64_t retriesCount, bool cacheSupported);
  std::optional<std::string> registerDataRetrievingRequest(const std::string& name,
                                                           const std::vector<std::string>& dependencies,
                                                           const std::string& pathExpression,
                                                           const std::optional<DQNEXAResultClass>& resultClass,
                                                           bool cacheSupported);
  std::optional<std::string> registerDataRetrievingRequestWithDescriptor(
      const std::shared_ptr<IDQNEXAOperationDescriptor>& descriptor);
  std::optional<std::string> registerDataUploadingRequestWithDescriptor(
      const std::shared_ptr<IDQNEXAOperationDescriptor>& descriptor);
  void unregisterAllRequests();

  // The shared provider choice.
  static std::shared_ptr<IDQHTTPStreamProvider> streamProviderForURL(const platform::Url& url, bool useProxy,
                                                                     bool validateCertificates) {
    return DQPrinterResolvingOperation::streamProviderForURL(url, useProxy, validateCertificates);
  }

  // How resolving operations choose their resolver (the scheme's by
  // default); for resolvers with their own DNS-SD back end.
  void setResolverFactory(DQPrinterResolvingOperation::ResolverFactory factory) {
    resolverFactory_ = std::move(factory);
  }

  // --- accessors
  const std::optional<platform::Url>& printerURI() const { return printerURI_; }
  const std::optional<platform::Url>& baseURL() const { return baseURL_; }
  void setBaseURL(std::optional<platform::Url> url) { baseURL_ = std::move(url); }
  std::int64_t printerResolvingState() const { return printerResolvingState_; }
  const std::optional<platform::Dictionary>& printerResolutionInfo() const { return printerResolutionInfo_; }
  const platform::ErrorPtr& printerResolutionError() const { return printerResolutionError_; }
  const std::shared_ptr<DQNEXAResolvingContext>& printerResolvingContext() const { return printerResolvingContext_; }
  const std::shared_ptr<DQPrinterResolvingOperation>& printerResolvingOperation() const {
    return printerResolvingOperation_;
  }
  DQNEXAOperationFactory& operationFactory() { return operationFactory_; }
  const std::shared_ptr<DQURLAuthenticationManager>& authManager() const { return authManager_; }
  bool useSystemProxyFlag() const { return useSystemProxyFlag_; }
  bool validateHTTPSCertificatesFlag() const { return validateHTTPSCertificatesFlag_; }

  DQNEXASession(Passkey, std::optional<platform::Url> printerURI, std::optional<platform::Url> baseNEXAURL,
                bool useProxy, bool validateCertificates, CredentialsBlock credentialsResolveBlock);

 private:
  // Completions being called. A cancel that covers them (of the request's
  // name or of every request; of the resolve for resolve completions) stops
  // the calls still to come.
  struct Answering {
    std::optional<std::string> requestName;  // none for resolve completions
    bool stopped = false;
  };
  // What the client's references share; its end lets the session go. The
  // session's own holds (around calls of the client's blocks, any of which
  // may let it go) are plain references to the session itself.
  struct ClientHandle {
    explicit ClientHandle(std::shared_ptr<DQNEXASession> owned);
    // Runs on the thread that dropped the client's last reference: marks the
    // session let go there, and hands the rest and its reference to the main
    // thread (where the session may end).
    ~ClientHandle();
    ClientHandle(const ClientHandle&) = delete;
    ClientHandle& operator=(const ClientHandle&) = delete;
    std::shared_ptr<DQNEXASession> session;
  };
  // Main thread, once the client's last reference went: cancels everything.
  void clientLetGo();
  bool isLetGo() const { return letGo_.load(); }
  // Calls `blocks` in order with `arguments` until a cancel stops them or
  // the client lets the session go; the session outlives the call.
  template <class Block, class... Arguments>
  void answer(std::optional<std::string> requestName, const std::vector<Block>& blocks,
              const Arguments&... arguments);
  // Calls `block`, when given and the session is not let go, with copies
  // of `arguments`; touches the session no more after it.
  template <class Block, class... Arguments>
  void answerAtOnce(const Block& block, Arguments... arguments) const;
  void stopAnswering(const std::function<bool(const Answering&)>& covered);

  void launchOperation(const std::shared_ptr<DQNEXAAccessOperation>& operation);
  // Makes `operation` wait for the resolving that runs, unless `context`
  // (its own) has finished; the context then follows that resolving's.
  void waitForResolving(const std::shared_ptr<platform::Operation>& operation,
                        const std::shared_ptr<DQNEXAResolvingContext>& context);
  // Calls and empties the waiting resolve completions with the outcome.
  void answerResolveCompletions();
  // State 0 with a fresh context and no resolving operation.
  void startOverResolving();
  // While resolving: starts over and drops the waiting resolve completions.
  void abandonResolving();
  // Sets up the requests `operation` needs; false when one cannot be made
  // or the names form a cycle (`chain` holds the names being set up).
  bool setupOperationDependencies(const std::shared_ptr<DQNEXAAccessOperation>& operation,
                                  std::vector<std::string>& chain);
  void addCompletionBlock(RequestCompletion block, const std::string& name);
  void handleCompletion(const std::shared_ptr<DQNEXAAccessOperation>& operation);

  const bool useSystemProxyFlag_;
  const bool validateHTTPSCertificatesFlag_;
  const std::optional<platform::Url> printerURI_;
  std::int64_t printerResolvingState_ = kNotResolved;
  std::optional<platform::Url> baseURL_;
  std::unique_ptr<platform::OperationQueue> operationQueue_;
  std::map<std::string, std::shared_ptr<DQNEXAAccessOperation>> operationsCache_;
  std::map<std::string, std::vector<RequestCompletion>> completionBlocks_;
  DQNEXAOperationFactory operationFactory_;
  std::shared_ptr<DQURLAuthenticationManager> authManager_;
  const CredentialsBlock authBlock_;
  std::vector<ResolveCompletion> resolveCompletionBlocks_;
  std::optional<platform::Dictionary> printerResolutionInfo_;
  platform::ErrorPtr printerResolutionError_;
  std::shared_ptr<DQNEXAResolvingContext> printerResolvingContext_;
  std::shared_ptr<DQPrinterResolvingOperation> printerResolvingOperation_;
  DQPrinterResolvingOperation::ResolverFactory resolverFactory_;
  std::vector<Answering*> answering_;  // innermost last
  std::atomic<bool> letGo_{false};     // the client's last reference went; set on any thread
};
