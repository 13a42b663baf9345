#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Values/Object.h"

namespace platform {

// A unit of work with the platform's operation semantics. States: ready,
// executing, finished, cancelled. An operation is ready when it is cancelled
// or when each of its dependencies is finished, or cancelled and not running.
class Operation : public Object {
 public:
  Operation();
  ~Operation() override;

  // Runs the operation on the calling thread: a cancelled operation finishes
  // without running main(). Either way the completion block runs once,
  // after the operation is finished, on this thread. A second start does
  // nothing.
  void start();
  // The work; empty by default.
  virtual void main() {}

  // Marks the operation cancelled; a running main() must notice it itself.
  // Any thread.
  virtual void cancel();
  virtual bool isCancelled() const { return cancelled_.load(); }
  bool isExecuting() const { return state_.load() == State::Executing; }
  bool isFinished() const { return state_.load() == State::Finished; }
  bool isReady() const;

  // Dependencies are held strongly; a dependency may sit in another queue.
  void addDependency(const std::shared_ptr<Operation>& operation);
  void removeDependency(const std::shared_ptr<Operation>& operation);
  std::vector<std::shared_ptr<Operation>> dependencies() const;

  // Runs once after the operation finished, on the thread that ran it (a
  // queue's worker thread). Replace or clear it any time before that.
  void setCompletionBlock(std::function<void()> block);
  std::function<void()> completionBlock() const;

  // Blocks until the operation is finished and its completion block ran.
  void waitUntilFinished();

  std::string name() const;
  void setName(std::string name);

 private:
  friend class OperationQueue;
  enum class State { Pending, Executing, Finished };

  // Called whenever the readiness of the operation may have changed; the
  // queue that holds the operation sets it to wake its workers.
  void setReadinessObserver(std::function<void()> observer);
  void notifyReadinessChanged();

  std::atomic<State> state_{State::Pending};
  std::atomic<bool> cancelled_{false};
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable finishedCondition_;
  bool completed_ = false;  // finished and completion block done
  std::vector<std::shared_ptr<Operation>> dependencies_;
  std::vector<std::weak_ptr<Operation>> dependents_;
  std::function<void()> completionBlock_;
  std::function<void()> readinessObserver_;
  std::string name_;
};

}  // namespace platform
