#include "ALKWriteActivityRequestFilter.h"

#include "ALKErrors.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Http/HttpMessage.h"

namespace {

void writeActivityRequest(ALKQueueFilter& filter, const platform::ObjectPtr& object,
                          const ALKQueueFilter::Finish& finish) {
  const auto& store = static_cast<ALKWriteActivityRequestFilter&>(filter).activityStore();
  std::shared_ptr<ALKActivityRequest> row;
  platform::ErrorPtr error;
  if (!filter.isCancelled()) {
    const auto activity = std::dynamic_pointer_cast<ALKActivity>(object);
    const auto request = std::dynamic_pointer_cast<platform::HttpMessage>(object);
    if (activity) {
      if (store) row = store->addRequestWithActivity(activity, std::nullopt, 0.0, &error);
      // A hit that can never be archived would hold up every hit behind it:
      // it goes, with the store's ERROR lines, as one the capacity refuses.
      if (error && error->is(platform::Error::kCocoaErrorDomain, kALKActivityNotArchivableError)) error = nullptr;
    } else if (request && request->url()) {
      if (store) row = store->addRequestWithActivity(nullptr, request->url()->absoluteString(), 0.0, &error);
    } else {
      error = platform::Error::make(ALKErrorDomain, kALKErrorUnsupportedInput);
    }
    if (row && !store->save(&error)) {
      // The hit stays at the head of the input queue and is inserted again
      // by the next run.
      store->deleteObject(row);
      row = nullptr;
    }
    // A store that could not be opened or saved to is tried again when it
    // is worth it, whether or not another hit comes.
    if (error && store && (activity || request)) {
      static_cast<ALKWriteActivityRequestFilter&>(filter).retryWhenTheStoreIsWorthTrying();
    }
  }
  finish(filter, row ? row->objectID() : nullptr, error);
}

}  // namespace

std::shared_ptr<ALKWriteActivityRequestFilter> ALKWriteActivityRequestFilter::filterWithActivityStore(
    std::shared_ptr<ALKActivityStore> store, std::shared_ptr<IALKQueue> inputQueue,
    std::shared_ptr<IALKQueue> outputQueue, std::shared_ptr<platform::DispatchQueue> executionQueue) {
  return make<ALKWriteActivityRequestFilter>(std::move(store), std::move(inputQueue), std::move(outputQueue),
                                             std::move(executionQueue));
}

ALKWriteActivityRequestFilter::ALKWriteActivityRequestFilter(Passkey key, std::shared_ptr<ALKActivityStore> store,
                                                             std::shared_ptr<IALKQueue> inputQueue,
                                                             std::shared_ptr<IALKQueue> outputQueue,
                                                             std::shared_ptr<platform::DispatchQueue> executionQueue)
    : ALKActivityStoreFilter(key, std::move(store), std::move(inputQueue), std::move(outputQueue), true,
                             std::move(executionQueue), writeActivityRequest) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
}

ALKWriteActivityRequestFilter::~ALKWriteActivityRequestFilter() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
}

void ALKWriteActivityRequestFilter::close() {
  if (!isClosed() && inputQueue() && !inputQueue()->isEmpty()) {
    ALKLogIndent indent;
    ALKLog::warning(this, "Closed with %zd hits never stored", inputQueue()->count());
  }
  ALKActivityStoreFilter::close();
}

bool ALKWriteActivityRequestFilter::noteCapacity(std::size_t capacity) {
  if (notedCapacity_ == capacity) return false;
  notedCapacity_ = capacity;
  return true;
}
