#include "Dispatch/OperationQueue.h"

#include <glib.h>

#include <algorithm>

#include "Dispatch/BlockOperation.h"
#include "RunLoop/RunLoopThread.h"

namespace platform {

OperationQueue::OperationQueue(std::string name) : name_(std::move(name)), shared_(std::make_shared<Shared>()) {
  shared_->maxConcurrent = std::max(1u, std::thread::hardware_concurrency());
}

OperationQueue::~OperationQueue() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
    threads.swap(threads_);
  }
  shared_->changed.notify_all();
  for (auto& thread : threads) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // the last owner went away inside one of our operations
    } else {
      thread.join();
    }
  }
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation) return;
  std::weak_ptr<Shared> weak = shared_;
  operation->setReadinessObserver([weak] {
    if (auto shared = weak.lock()) {
      { std::lock_guard lock(shared->mutex); }  // no wake-up lost between a check and a wait
      shared->changed.notify_all();
    }
  });
  {
    std::lock_guard lock(shared_->mutex);
    shared_->operations.push_back(operation);
    shared_->pending.push_back(std::move(operation));
    spawnWorkersIfNeeded();
  }
  shared_->changed.notify_all();
}

void OperationQueue::spawnWorkersIfNeeded() {
  // Finished workers were joined by nobody yet; that is fine, they are joined
  // in the destructor.
  while (shared_->workers < shared_->maxConcurrent && shared_->workers - shared_->running < shared_->pending.size()) {
    ++shared_->workers;
    threads_.emplace_back(&OperationQueue::work, shared_, name_);
  }
}

std::shared_ptr<Operation> OperationQueue::addOperation(std::function<void()> block) {
  auto operation = BlockOperation::make(std::move(block));
  addOperation(operation);
  return operation;
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->operations;
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->operations.size();
}

int OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(shared_->mutex);
  return static_cast<int>(shared_->maxConcurrent);
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->maxConcurrent = static_cast<std::size_t>(std::max(count, 1));
    spawnWorkersIfNeeded();
  }
  shared_->changed.notify_all();
}

void OperationQueue::cancelAllOperations() {
  // Cancel outside the lock: cancelling wakes the workers through the lock.
  for (const auto& operation : operations()) operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(shared_->mutex);
  shared_->changed.wait(lock, [this] { return shared_->operations.empty(); });
}

std::shared_ptr<Operation> OperationQueue::takeNextReady(Shared& shared) {
  for (auto it = shared.pending.begin(); it != shared.pending.end(); ++it) {
    if ((*it)->isReady()) {
      auto operation = std::move(*it);
      shared.pending.erase(it);
      return operation;
    }
  }
  return nullptr;
}

void OperationQueue::work(std::shared_ptr<Shared> shared, std::string name) {
  RunLoopThread::setCurrentThreadName(name);
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);

  std::unique_lock lock(shared->mutex);
  while (true) {
    std::shared_ptr<Operation> operation;
    shared->changed.wait(lock, [&] {
      if (shared->running < shared->maxConcurrent) operation = takeNextReady(*shared);
      return operation || shared->stopping;
    });
    // Stopping, and nothing this worker can start now. It does not wait for
    // the operations still running: their workers take what they release,
    // and one of them may be the thread that is stopping the queue.
    if (!operation) break;
    ++shared->running;
    lock.unlock();
    operation->start();
    lock.lock();
    --shared->running;
    std::erase(shared->operations, operation);
    shared->changed.notify_all();
  }
  --shared->workers;
  lock.unlock();

  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

}  // namespace platform
