#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "Errors/Error.h"
#include "IDQHTTPStreamProvider.h"
#include "Values/Url.h"

// How the session's resolving ended, handed to every access operation: the
// base NEXA URL and its stream provider, or an error. The first finish wins.
// Thread-safe: finished on the queue's thread or the main thread, read by
// operations on the queue's thread.
class DQNEXAResolvingContext {
 public:
  void finishWithBaseNEXAURL(const platform::Url& baseNEXAURL, std::shared_ptr<IDQHTTPStreamProvider> streamProvider);
  void finishWithError(platform::ErrorPtr error);
  // When this context is not finished yet, it answers from now on as
  // `successor` does and ignores its own finish: the operations made with it
  // follow the resolving that replaced its own.
  void followResolvingOf(std::shared_ptr<DQNEXAResolvingContext> successor);

  std::optional<platform::Url> baseNEXAURL() const;
  std::shared_ptr<IDQHTTPStreamProvider> streamProvider() const;
  platform::ErrorPtr error() const;
  bool isFinished() const;

 private:
  std::shared_ptr<DQNEXAResolvingContext> successor() const;

  mutable std::mutex mutex_;  // guards every field; any thread
  std::optional<platform::Url> baseNEXAURL_;
  std::shared_ptr<IDQHTTPStreamProvider> streamProvider_;
  platform::ErrorPtr error_;
  bool finished_ = false;
  std::shared_ptr<DQNEXAResolvingContext> successor_;
};
