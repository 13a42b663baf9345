#include "ALKActivityStoreFilter.h"

#include "ALKLog.h"
#include "ALKLogIndent.h"

void ALKActivityStoreFilter::retryWhenTheStoreIsWorthTrying() {
  const auto when = activityStore_ ? activityStore_->retryTime() : std::nullopt;
  if (!when || retryScheduled_.exchange(true)) return;
  const std::weak_ptr<ALKActivityStoreFilter> weakSelf = sharedAs<ALKActivityStoreFilter>();
  activityStore_->clock()->performAt(platform::DispatchQueue::global(), *when, [weakSelf, scheduling = scheduling_] {
    scheduling.perform([weakSelf] {
      const auto self = weakSelf.lock();
      if (!self) return;
      self->retryScheduled_.store(false);
      if (self->isClosed() || self->isExecuting() || !self->hasInputObjectsAvailable()) return;
      ALKLogIndent indent;
      ALKLog::debug(self.get(), "Try the store again");
      self->execute();
    });
  });
}
