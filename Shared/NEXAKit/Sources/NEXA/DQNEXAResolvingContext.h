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

  std::optional<platform::Url> baseNEXAURL() const;
  std::shared_ptr<IDQHTTPStreamProvider> streamProvider() const;
  platform::ErrorPtr error() const;
  bool isFinished() const;

 private:
  mutable std::mutex mutex_;  // guards every field; any thread
  std::optional<platform::Url> baseNEXAURL_;
  std::shared_ptr<IDQHTTPStreamProvider> streamProvider_;
  platform::ErrorPtr error_;
  bool finished_ = false;
};
