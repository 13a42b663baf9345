#pragma once

#include <atomic>
#include <memory>

#include "ALKActivityStore.h"
#include "ALKQueueFilter.h"

// What the three store stages share: one store, used only by their execution
// blocks on their execution queue (the store queue), and closed there when a
// closed stage is drained; and the retry of a stage whose run found the store
// unusable.
class ALKActivityStoreFilter : public ALKQueueFilter {
 public:
  ALKActivityStoreFilter(Passkey key, std::shared_ptr<ALKActivityStore> store, std::shared_ptr<IALKQueue> inputQueue,
                         std::shared_ptr<IALKQueue> outputQueue, bool active,
                         std::shared_ptr<platform::DispatchQueue> executionQueue, ExecutionBlock executionBlock)
      : ALKQueueFilter(key, std::move(inputQueue), std::move(outputQueue), active, std::move(executionQueue),
                       std::move(executionBlock), nullptr),
        activityStore_(std::move(store)) {}

  const std::shared_ptr<ALKActivityStore>& activityStore() const { return activityStore_; }
  // Closes the store, on the store queue.
  void drainExecutionQueue() override {
    if (activityStore_) activityStore_->close();
  }

  // After a run that found the store unusable (it could not be opened, or a
  // save failed): has the stage run again on the thread that made it once
  // the store's clock reaches the store's next try, unless a retry is
  // already due, so that the hit at its head waits for no other wake-up.
  // Store queue.
  void retryWhenTheStoreIsWorthTrying();

 private:
  const std::shared_ptr<ALKActivityStore> activityStore_;
  const platform::RunLoop scheduling_ = platform::RunLoop::current();
  std::atomic<bool> retryScheduled_{false};
};
