#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "DQHTTPStreamDelegate.h"
#include "Values/Dictionary.h"
#include "Errors/Error.h"
#include "IDQURLAuthenticationRequest.h"
#include "Values/Object.h"
#include "RunLoop/RunLoop.h"

// One HTTP request/response exchange that a URL connection drives. A stream
// lives on one thread: the one whose run loop it is opened in.
class IDQHTTPStream : public platform::Object {
 public:
  // Answers true when the caller's operation is cancelled. Called on the
  // stream's thread.
  using CancellationBlock = std::function<bool()>;

  // No stream hands over a longer body: past it the exchange fails with
  // DQHTTPStreamError::unparsableResponseError, not to be retried.
  static constexpr std::uint64_t kMaximumBodyLength = 64 << 20;

  // Starts the exchange on `runLoop` (none: the calling thread's), whose
  // thread must be the calling one. False with an error of the HTTP stream
  // domain when it cannot start. `timeout` is in seconds.
  virtual bool openInRunLoop(const std::optional<platform::RunLoop>& runLoop, double timeout,
                             platform::ErrorPtr* error, CancellationBlock cancellationBlock) = 0;
  // Ends the exchange at any point; no delegate call follows.
  virtual void close() = 0;

  // Not owned.
  virtual std::shared_ptr<DQHTTPStreamDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<DQHTTPStreamDelegate> delegate) = 0;

  // None before the response.
  virtual std::optional<platform::Dictionary> responseHeader() const = 0;
  virtual std::optional<int> statusCode() const = 0;
  // Made from a 401 response; nullptr otherwise.
  virtual std::shared_ptr<IDQURLAuthenticationRequest> authenticationRequest() const = 0;
  // The least value, in seconds, of the connection timer set for this stream.
  virtual double minimumConnectionTimeout() const = 0;
  // Whether the connection may abandon its wait on cancellation now.
  virtual bool canBeInterrupted() const = 0;
};
