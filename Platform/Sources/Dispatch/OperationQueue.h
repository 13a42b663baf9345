#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Dispatch/Operation.h"

namespace platform {

// Runs operations on worker threads of its own, as the platform's operation
// queues: the first *ready* operation in the order they were added starts
// next (an operation that waits for a dependency does not hold up the ones
// behind it), at most maxConcurrentOperationCount at a time. Each worker
// thread has its own run loop (its thread-default context) for its whole
// life, so operations can spin it while they wait.
class OperationQueue {
 public:
  explicit OperationQueue(std::string name = "operation.queue");
  // Lets the workers finish every operation that is or becomes ready, then
  // joins them; operations still waiting for a dependency are dropped.
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  void addOperation(std::shared_ptr<Operation> operation);
  std::shared_ptr<Operation> addOperation(std::function<void()> block);

  // The operations not yet finished, in the order they were added.
  std::vector<std::shared_ptr<Operation>> operations() const;
  std::size_t operationCount() const;

  // The default is the number of processors.
  int maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(int count);

  void cancelAllOperations();
  // Blocks until every operation added so far has finished. Do not call it
  // from one of this queue's operations.
  void waitUntilAllOperationsAreFinished();

  const std::string& name() const { return name_; }

 private:
  struct Shared {
    mutable std::mutex mutex;  // guards every field
    std::condition_variable changed;
    std::vector<std::shared_ptr<Operation>> operations;  // not yet finished, in order
    std::deque<std::shared_ptr<Operation>> pending;      // not yet taken by a worker, in order
    std::size_t running = 0;
    std::size_t workers = 0;
    std::size_t maxConcurrent = 1;
    bool stopping = false;
  };

  static void work(std::shared_ptr<Shared> shared, std::string name);
  // Takes the first pending operation that is ready, or answers nullptr. Locked.
  static std::shared_ptr<Operation> takeNextReady(Shared& shared);
  // Starts workers while some pending operation may find none idle. Locked.
  void spawnWorkersIfNeeded();

  std::string name_;
  std::shared_ptr<Shared> shared_;
  std::vector<std::thread> threads_;  // touched only under shared_->mutex
};

}  // namespace platform
