#include "Dispatch/Operation.h"

#include <algorithm>

namespace platform {

Operation::Operation() = default;
Operation::~Operation() = default;

bool Operation::isReady() const {
  if (isCancelled()) return true;
  std::lock_guard lock(mutex_);
  // A cancelled dependency that is not running counts as met (it finishes
  // without working, or never runs at all); one still running is waited for.
  return std::all_of(dependencies_.begin(), dependencies_.end(), [](const auto& dependency) {
    return dependency->isFinished() || (dependency->isCancelled() && !dependency->isExecuting());
  });
}

void Operation::start() {
  State expected = State::Pending;
  if (!state_.compare_exchange_strong(expected, State::Executing)) return;
  if (!isCancelled()) main();
  state_.store(State::Finished);

  std::function<void()> completion;
  std::vector<std::weak_ptr<Operation>> dependents;
  {
    std::lock_guard lock(mutex_);
    completion = std::move(completionBlock_);
    completionBlock_ = nullptr;
    dependents = dependents_;
  }
  if (completion) completion();
  {
    std::lock_guard lock(mutex_);
    completed_ = true;
  }
  finishedCondition_.notify_all();
  for (const auto& weak : dependents) {
    if (auto dependent = weak.lock()) dependent->notifyReadinessChanged();
  }
}

void Operation::cancel() {
  if (cancelled_.exchange(true)) return;
  std::vector<std::weak_ptr<Operation>> dependents;
  {
    std::lock_guard lock(mutex_);
    dependents = dependents_;
  }
  // A cancelled operation is ready at once, and so may be what waits on it.
  notifyReadinessChanged();
  for (const auto& weak : dependents) {
    if (auto dependent = weak.lock()) dependent->notifyReadinessChanged();
  }
}

void Operation::addDependency(const std::shared_ptr<Operation>& operation) {
  if (!operation || operation.get() == this) return;
  {
    std::lock_guard lock(mutex_);
    if (std::find(dependencies_.begin(), dependencies_.end(), operation) != dependencies_.end()) return;
    dependencies_.push_back(operation);
  }
  std::lock_guard lock(operation->mutex_);
  operation->dependents_.push_back(sharedAs<Operation>());
}

void Operation::removeDependency(const std::shared_ptr<Operation>& operation) {
  if (!operation) return;
  {
    std::lock_guard lock(mutex_);
    std::erase(dependencies_, operation);
  }
  {
    std::lock_guard lock(operation->mutex_);
    std::erase_if(operation->dependents_, [this](const auto& weak) {
      auto dependent = weak.lock();
      return !dependent || dependent.get() == this;
    });
  }
  notifyReadinessChanged();
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
  std::lock_guard lock(mutex_);
  return dependencies_;
}

void Operation::setCompletionBlock(std::function<void()> block) {
  std::lock_guard lock(mutex_);
  completionBlock_ = std::move(block);
}

std::function<void()> Operation::completionBlock() const {
  std::lock_guard lock(mutex_);
  return completionBlock_;
}

void Operation::waitUntilFinished() {
  std::unique_lock lock(mutex_);
  finishedCondition_.wait(lock, [this] { return completed_; });
}

std::string Operation::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void Operation::setName(std::string name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

void Operation::setReadinessObserver(std::function<void()> observer) {
  std::lock_guard lock(mutex_);
  readinessObserver_ = std::move(observer);
}

void Operation::notifyReadinessChanged() {
  std::function<void()> observer;
  {
    std::lock_guard lock(mutex_);
    observer = readinessObserver_;
  }
  if (observer) observer();
}

}  // namespace platform
