#include "ALKRemoveActivityRequestFilter.h"

#include "ALKErrors.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"

namespace {

void removeActivityRequest(ALKQueueFilter& filter, const platform::ObjectPtr& object,
                           const ALKQueueFilter::Finish& finish) {
  const auto& store = static_cast<ALKRemoveActivityRequestFilter&>(filter).activityStore();
  platform::ErrorPtr error;
  if (!filter.isCancelled()) {
    if (const auto objectID = std::dynamic_pointer_cast<ALKActivityRequestID>(object)) {
      if (store) {
        store->removeExistingObjectWithID(objectID);
        store->save(&error);
      }
    } else if (const auto activity = std::dynamic_pointer_cast<ALKActivity>(object)) {
      if (store) {
        // A missing row is no error.
        store->removeActivityRequestWithTimestamp(activity->timestamp());
        store->save(&error);
      }
    } else {
      error = platform::Error::make(ALKErrorDomain, kALKErrorUnsupportedInput);
    }
    // A removal the store could not save is tried again when the store is
    // worth trying: on a full disk, removals are what give room back.
    if (error && store) static_cast<ALKRemoveActivityRequestFilter&>(filter).retryWhenTheStoreIsWorthTrying();
  }
  finish(filter, nullptr, error);
}

}  // namespace

std::shared_ptr<ALKRemoveActivityRequestFilter> ALKRemoveActivityRequestFilter::filterWithActivityStore(
    std::shared_ptr<ALKActivityStore> store, std::shared_ptr<IALKQueue> inputQueue,
    std::shared_ptr<IALKQueue> outputQueue, std::shared_ptr<platform::DispatchQueue> executionQueue) {
  return make<ALKRemoveActivityRequestFilter>(std::move(store), std::move(inputQueue), std::move(outputQueue),
                                              std::move(executionQueue));
}

ALKRemoveActivityRequestFilter::ALKRemoveActivityRequestFilter(Passkey key, std::shared_ptr<ALKActivityStore> store,
                                                               std::shared_ptr<IALKQueue> inputQueue,
                                                               std::shared_ptr<IALKQueue> outputQueue,
                                                               std::shared_ptr<platform::DispatchQueue> executionQueue)
    : ALKActivityStoreFilter(key, std::move(store), std::move(inputQueue), std::move(outputQueue), true,
                             std::move(executionQueue), removeActivityRequest) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
}

ALKRemoveActivityRequestFilter::~ALKRemoveActivityRequestFilter() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
}
