#include "ALKReadActivityRequestFilter.h"

#include "ALKErrors.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Observation/NotificationCenter.h"

namespace {

platform::ErrorPtr nothingToRead() { return platform::Error::make(ALKErrorDomain, kALKErrorNothingToRead); }

}  // namespace

void ALKReadActivityRequestFilter::installDidRemoveBlock(const std::shared_ptr<ALKReadActivityRequestFilter>& filter) {
  const platform::RunLoop creator = platform::RunLoop::current();
  const std::weak_ptr<ALKReadActivityRequestFilter> weakFilter = filter;
  filter->setActivityStoreDidRemoveBlock(std::make_shared<DidRemoveBlock>([weakFilter, creator] {
    creator.perform([weakFilter] {
      const auto self = weakFilter.lock();
      if (!self) return;
      self->executeBlock([&] {
        ALKLog::debug(self.get(), "Detected changes in the store %@", self->activityStore());
        self->execute();
      });
    });
  }));
}

ALKReadActivityRequestFilter::ALKReadActivityRequestFilter(Passkey key, std::shared_ptr<ALKActivityStore> store,
                                                           std::shared_ptr<IALKQueue> outputQueue,
                                                           std::shared_ptr<platform::DispatchQueue> executionQueue)
    : ALKActivityStoreFilter(key, std::move(store), nullptr, std::move(outputQueue), false, std::move(executionQueue),
                             [](ALKQueueFilter& filter, const platform::ObjectPtr& object, const Finish& finish) {
                               static_cast<ALKReadActivityRequestFilter&>(filter).read(object, finish);
                             }) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
  // The token is cancelled before the filter goes, so the handler may hold it
  // unretained.
  auto& center = platform::NotificationCenter::defaultCenter();
  willSaveObservation_ = center.addObserver(ALKActivityStoreWillSaveNotification, activityStore().get(),
                                            [this](const platform::Notification&) { activityStoreWillSaveNotification(); });
  didSaveObservation_ = center.addObserver(
      ALKActivityStoreDidSaveNotification, activityStore().get(),
      [this](const platform::Notification& notification) { activityStoreDidSaveNotification(notification); });
}

ALKReadActivityRequestFilter::~ALKReadActivityRequestFilter() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
  willSaveObservation_.cancel();
  didSaveObservation_.cancel();
}

bool ALKReadActivityRequestFilter::hasInputObjectsAvailable() const {
  std::uint64_t begun = 0;
  bool settled = false;
  // A count of another file (one moved aside, or reset) tells nothing.
  const std::uint64_t file = activityStore()->fileGeneration();
  {
    std::lock_guard lock(rowsMutex_);
    if (knownRows_ >= 0 && knownFile_ == file) return knownRows_ > 0;
    begun = savesBegun_;
    settled = savesEnded_ == savesBegun_;
  }
  const auto rows = ALKActivityStore::countActivityRequestsInFile(activityStore()->storePath());
  std::lock_guard lock(rowsMutex_);
  // A save that was under way may or may not be in the count, and its
  // did-save is still to come: the count is kept only when no save ran
  // while it was taken, nor the store went to another file. Otherwise the
  // next ask looks again.
  if (rows && settled && savesBegun_ == begun && activityStore()->fileGeneration() == file) {
    knownRows_ = static_cast<std::int64_t>(*rows);
    knownFile_ = file;
  }
  return rows.value_or(0) > 0;
}

void ALKReadActivityRequestFilter::activityStoreWillSaveNotification() {
  std::lock_guard lock(rowsMutex_);
  ++savesBegun_;
}

void ALKReadActivityRequestFilter::close() {
  ALKQueueFilter::close();
  setActivityStoreDidRemoveBlock(nullptr);
}

void ALKReadActivityRequestFilter::read(const platform::ObjectPtr& object, const Finish& finish) {
  const auto& store = activityStore();
  std::shared_ptr<ALKActivityRequest> row;
  platform::ErrorPtr error;
  if (!isCancelled()) {
    row = std::dynamic_pointer_cast<ALKActivityRequest>(object);
    while (!row) {
      row = store->earliestActivityRequest();
      if (!row) {
        ALKLog::debug(this, "No activity request found.");
        error = nothingToRead();
        break;
      }
      if (!row->activity() && !row->urlString()) {
        // Nothing could ever send it, and every later hit would wait behind it.
        ALKLog::error(this, "Remove unreadable activity request %@", row);
        store->removeActivityRequest(row);
        if (!store->save(&error)) break;
        row = nullptr;
      }
    }
    if (row && row->state() == markedState()) {
      const auto head = outputQueue() ? outputQueue()->peekObject() : nullptr;
      const bool onItsWay = handedOut_.contains(row->timestamp()) ||
                            (head && row->activity() && head->isEqual(*row->activity()));
      if (onItsWay) {
        ALKLog::debug(this, "Ignore already read request. Wait until it is removed from the store. {%@}", row);
        row = nullptr;
        error = nothingToRead();
      }
      // Otherwise it was read by an earlier process, or its mark could not be
      // saved (a full disk): it is handed out again, once the mark is saved.
      if (row && store->hasChanges()) store->save(&error);
    } else if (row && !error) {
      row->setState(markedState());
      store->save(&error);
    }
    if (row && store->hasChanges()) {
      ALKLog::error(this, "Ignore request with pending changes. Context changes should be saved.");
      row = nullptr;
      error = nothingToRead();
    }
  }
  if (row && !error && row->activity()) handedOut_.insert(row->timestamp());
  finish(*this, row ? row->activity() : nullptr, error);
}

void ALKReadActivityRequestFilter::activityStoreDidSaveNotification(const platform::Notification& notification) {
  const auto* underlying = notification.userInfo.objectForKey(ALKActivityStoreUnderlyingNotificationKey).dictionary();
  const auto* deleted = underlying ? underlying->objectForKey(ALKDeletedObjectsKey).array() : nullptr;
  const auto* inserted = underlying ? underlying->objectForKey(ALKInsertedObjectsKey).array() : nullptr;
  {
    std::lock_guard lock(rowsMutex_);
    // Saves run one after another: every save begun so far has ended, the
    // failed ones without a word.
    savesEnded_ = savesBegun_;
    if (knownFile_ != activityStore()->fileGeneration()) knownRows_ = -1;
    if (knownRows_ >= 0) {
      knownRows_ += static_cast<std::int64_t>(inserted ? inserted->size() : 0);
      knownRows_ -= static_cast<std::int64_t>(deleted ? deleted->size() : 0);
    }
  }
  if (!deleted) return;
  for (const auto& value : *deleted) {
    const auto row = value.objectAs<ALKActivityRequest>();
    if (!row || row->state() != markedState()) continue;
    handedOut_.erase(row->timestamp());
    const auto block = activityStoreDidRemoveBlock();
    if (!block) continue;
    ALKLog::debug(this, "Read object has been deleted {%@, %@}", row, activityStore());
    (*block)();
  }
}
