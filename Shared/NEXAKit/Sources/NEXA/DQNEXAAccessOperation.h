#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "DQRunLoopOperation.h"
#include "DQURLConnection.h"
#include "DQURLConnectionConsumer.h"
#include "Errors/Error.h"
#include "IDQHTTPStreamProvider.h"
#include "IDQNEXAOperationDescriptor.h"
#include "IDQURLAuthenticationRequest.h"
#include "Values/Url.h"

class DQNEXAResolvingContext;
class DQURLAuthenticationChallenge;
class DQURLAuthenticationManager;

// One NEXA request against a printer: takes the base URL and stream provider
// from the resolving context, asks the descriptor for the path, runs the
// exchange (again on 202 and on recoverable transport errors, with
// credentials on 401) and turns the response into a result or a NEXA error.
// Runs on an operation queue's thread and spins its run loop in every wait;
// subclasses choose the method. `result` and `error` are written once at the
// end of the task and may be read from any thread after that.
class DQNEXAAccessOperation : public DQRunLoopOperation {
 public:
  using DescriptorPtr = std::shared_ptr<IDQNEXAOperationDescriptor>;
  // Makes the connection of one pass; nullptr when it cannot.
  using ConnectionMaker = std::function<std::shared_ptr<DQURLConnection>()>;
  // Called on the main queue with the finished operation.
  using CompletionBlock = std::function<void(const std::shared_ptr<DQNEXAAccessOperation>& operation)>;

  // Seconds to wait for the stream provider.
  static constexpr double kStreamProviderTimeout = 5.0;

  // An operation with its own cancellation wake-up source: cancel() ends
  // every wait at once.
  DQNEXAAccessOperation(DescriptorPtr descriptor, std::shared_ptr<DQURLAuthenticationManager> authenticationManager,
                        std::shared_ptr<DQNEXAResolvingContext> resolvingContext);
  // An operation run inside `parentOperation`'s task on its thread, cancelled
  // with it (see DQRunLoopOperation).
  DQNEXAAccessOperation(DescriptorPtr descriptor, std::shared_ptr<DQURLAuthenticationManager> authenticationManager,
                        std::shared_ptr<DQNEXAResolvingContext> resolvingContext,
                        std::shared_ptr<platform::Operation> parentOperation);

  // Once the operation has finished, `block` is queued onto the main queue;
  // the call is skipped when the operation is cancelled or gone by then.
  // An empty block removes the completion. Call before the operation runs.
  void setupNEXACompletionBlock(CompletionBlock block);

  void performOperationTask() override;
  // Also wakes a wait for credentials. Any thread.
  void cancel() override;

  // The exchange for the URL; the base makes none. Subclasses override it.
  virtual std::shared_ptr<DQURLConnectionConsumer> processConnectionWithURL(const platform::Url& url,
                                                                            platform::ErrorPtr* error);
  // Runs passes with connections from `makeConnection` until the printer's
  // answer is final; the consumer of the last pass that produced one.
  std::shared_ptr<DQURLConnectionConsumer> performRequest(const ConnectionMaker& makeConnection,
                                                          platform::ErrorPtr* error);
  // Writes the credentials obtained for this operation into the request.
  void applyAuthentication(DQURLConnection& connection);
  // Obtains credentials for the last 401; begins the manager's
  // authentication first unless *authenticationStarted. Credentials that a
  // pass got through with are sent again by the later passes of the
  // operation (a 202 answer, a retry) without asking again.
  bool performAuthentication(bool* authenticationStarted);
  bool isRetryRequiredForConsumer(const std::shared_ptr<DQURLConnectionConsumer>& consumer,
                                  std::uint64_t* currentRetryNumber);
  // Waits up to kStreamProviderTimeout for the provider to find the printer.
  bool resolveStreamProvider(platform::ErrorPtr* error);
  // Opens the connection and waits for its end; nullptr with NEXA error 8
  // or 7 when it does not open.
  std::shared_ptr<DQURLConnectionConsumer> processConnection(DQURLConnection& connection, platform::ErrorPtr* error);
  platform::ObjectPtr operationResultForConsumer(const std::shared_ptr<DQURLConnectionConsumer>& consumer,
                                                 platform::ErrorPtr* error);
  // A NEXA error with the request's name and the underlying error.
  platform::ErrorPtr errorWithCode(std::int64_t code, platform::ErrorPtr underlying = nullptr) const;

  // The base with the path resolved against it: the path trimmed and
  // without one leading "/"; the base itself for an empty path.
  static std::optional<platform::Url> combineURL(const platform::Url& baseURL, const std::string& path);

  const DescriptorPtr& operationDescriptor() const { return operationDescriptor_; }
  const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager() const { return authenticationManager_; }
  const std::shared_ptr<DQNEXAResolvingContext>& resolvingInfo() const { return resolvingInfo_; }
  // Set when the task starts; the operation's thread only.
  const std::optional<platform::Url>& baseURL() const { return baseURL_; }
  const std::shared_ptr<IDQHTTPStreamProvider>& streamProvider() const { return streamProvider_; }
  // Any thread.
  platform::ObjectPtr result() const;
  platform::ErrorPtr error() const;

 private:
  void finishTask(platform::ObjectPtr result, platform::ErrorPtr error);
  // The NEXA error for a stream provider that did not find the printer:
  // 9 for a printer without NEXA interfaces, else 7.
  static platform::ErrorPtr providerFailure(platform::ErrorPtr providerError);

  const DescriptorPtr operationDescriptor_;
  const std::shared_ptr<DQURLAuthenticationManager> authenticationManager_;
  const std::shared_ptr<DQNEXAResolvingContext> resolvingInfo_;
  std::optional<platform::Url> baseURL_;
  std::shared_ptr<IDQHTTPStreamProvider> streamProvider_;
  // The operation's thread only.
  std::optional<platform::Url> requestURL_;
  std::shared_ptr<IDQURLAuthenticationRequest> authRequest_;
  std::optional<std::string> userName_;
  std::optional<std::string> password_;

  mutable std::mutex challengeMutex_;  // guards challenge_; the operation's thread and cancel()
  // The challenge the operation waits on, while it waits.
  std::shared_ptr<DQURLAuthenticationChallenge> challenge_;

  mutable std::mutex outcomeMutex_;  // guards result_ and error_; any thread
  platform::ObjectPtr result_;
  platform::ErrorPtr error_;
};
