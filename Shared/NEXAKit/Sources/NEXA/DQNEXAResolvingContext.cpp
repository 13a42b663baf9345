#include "DQNEXAResolvingContext.h"

void DQNEXAResolvingContext::finishWithBaseNEXAURL(const platform::Url& baseNEXAURL,
                                                   std::shared_ptr<IDQHTTPStreamProvider> streamProvider) {
  std::lock_guard lock(mutex_);
  if (finished_) return;
  baseNEXAURL_ = baseNEXAURL;
  streamProvider_ = std::move(streamProvider);
  finished_ = true;
}

void DQNEXAResolvingContext::finishWithError(platform::ErrorPtr error) {
  std::lock_guard lock(mutex_);
  if (finished_) return;
  error_ = std::move(error);
  finished_ = true;
}

std::optional<platform::Url> DQNEXAResolvingContext::baseNEXAURL() const {
  std::lock_guard lock(mutex_);
  return baseNEXAURL_;
}

std::shared_ptr<IDQHTTPStreamProvider> DQNEXAResolvingContext::streamProvider() const {
  std::lock_guard lock(mutex_);
  return streamProvider_;
}

platform::ErrorPtr DQNEXAResolvingContext::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

bool DQNEXAResolvingContext::isFinished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}
