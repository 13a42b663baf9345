#include "DQNEXAResolvingContext.h"

void DQNEXAResolvingContext::finishWithBaseNEXAURL(const platform::Url& baseNEXAURL,
                                                   std::shared_ptr<IDQHTTPStreamProvider> streamProvider) {
  std::lock_guard lock(mutex_);
  if (finished_ || successor_) return;
  baseNEXAURL_ = baseNEXAURL;
  streamProvider_ = std::move(streamProvider);
  finished_ = true;
}

void DQNEXAResolvingContext::finishWithError(platform::ErrorPtr error) {
  std::lock_guard lock(mutex_);
  if (finished_ || successor_) return;
  error_ = std::move(error);
  finished_ = true;
}

void DQNEXAResolvingContext::followResolvingOf(std::shared_ptr<DQNEXAResolvingContext> successor) {
  std::lock_guard lock(mutex_);
  if (!finished_ && !successor_ && successor.get() != this) successor_ = std::move(successor);
}

std::shared_ptr<DQNEXAResolvingContext> DQNEXAResolvingContext::successor() const {
  std::lock_guard lock(mutex_);
  return successor_;
}

std::optional<platform::Url> DQNEXAResolvingContext::baseNEXAURL() const {
  if (auto next = successor()) return next->baseNEXAURL();
  std::lock_guard lock(mutex_);
  return baseNEXAURL_;
}

std::shared_ptr<IDQHTTPStreamProvider> DQNEXAResolvingContext::streamProvider() const {
  if (auto next = successor()) return next->streamProvider();
  std::lock_guard lock(mutex_);
  return streamProvider_;
}

platform::ErrorPtr DQNEXAResolvingContext::error() const {
  if (auto next = successor()) return next->error();
  std::lock_guard lock(mutex_);
  return error_;
}

bool DQNEXAResolvingContext::isFinished() const {
  if (auto next = successor()) return next->isFinished();
  std::lock_guard lock(mutex_);
  return finished_;
}
