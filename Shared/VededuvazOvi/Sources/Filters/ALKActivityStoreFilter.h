#pragma once

#include <memory>

#include "ALKActivityStore.h"
#include "ALKQueueFilter.h"

// What the three store stages share: one store, used only by their execution
// blocks on their execution queue (the store queue), and closed there when a
// closed stage is drained.
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

 private:
  const std::shared_ptr<ALKActivityStore> activityStore_;
};
