#pragma once

#include <memory>

#include "Errors/Error.h"
#include "Http/HttpMessage.h"
#include "IDQHTTPStream.h"
#include "Values/Object.h"

// Finds the printer behind a base URL and makes streams to it.
class IDQHTTPStreamProvider : public platform::Object {
 public:
  // Starts finding the printer; it may finish inside the call.
  virtual void startResolving() = 0;
  virtual bool isResolvingCompleted() const = 0;
  virtual bool isResolved() const = 0;
  virtual platform::ErrorPtr resolvingError() const = 0;
  // Stops the search; safe after the outcome.
  virtual void cancelResolving() = 0;
  // A new stream for one request; the stream reads the message when it
  // opens, so the message may still change until then.
  virtual std::shared_ptr<IDQHTTPStream> streamForRequest(std::shared_ptr<platform::HttpMessage> request) = 0;
};
