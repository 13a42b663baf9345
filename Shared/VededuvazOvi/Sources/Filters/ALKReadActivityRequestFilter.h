#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "ALKActivityStoreFilter.h"
#include "Observation/Notification.h"
#include "Observation/ObservationToken.h"
#include "RunLoop/RunLoop.h"

// The store stage that hands out the next hit: a producer (inactive, no
// input queue) that takes the earliest row, marks it read (state 1), saves,
// and puts its activity into its output queue. It answers -1 when there is no
// row, when the earliest row is read and its hit is still on its way (at the
// head of the output queue, or handed out by this filter and not yet
// removed), and when the store holds unsaved changes. A read row that this
// process never handed out is left from an earlier run and is handed out
// again. A row with neither a readable activity nor a URL string is deleted
// (with an ERROR line) and the next one read. It wakes itself whenever a save
// deletes a read row, and tells whether there is input by asking the file
// through a connection of its own.
//
// Threads: the execution block and the store's did-save handler run on the
// store queue, which alone uses the store and the set of timestamps handed
// out; the wake-up moves to the run loop of the thread that made the filter
// (the scheduling thread). The did-remove block's accessors are atomic.
class ALKReadActivityRequestFilter : public ALKActivityStoreFilter {
 public:
  using DidRemoveBlock = std::function<void()>;

  // A filter of class T (this class or a subclass); nil without a store.
  // Observes the store's did-save notification and installs the did-remove
  // block, which holds the filter weakly and wakes it on the calling thread's
  // run loop.
  template <class T = ALKReadActivityRequestFilter>
  static std::shared_ptr<T> filterWithActivityStore(std::shared_ptr<ALKActivityStore> store,
                                                    std::shared_ptr<IALKQueue> outputQueue,
                                                    std::shared_ptr<platform::DispatchQueue> executionQueue) {
    if (!store) return nullptr;
    auto filter = make<T>(std::move(store), std::move(outputQueue), std::move(executionQueue));
    installDidRemoveBlock(filter);
    return filter;
  }

  ALKReadActivityRequestFilter(Passkey key, std::shared_ptr<ALKActivityStore> store,
                               std::shared_ptr<IALKQueue> outputQueue,
                               std::shared_ptr<platform::DispatchQueue> executionQueue);
  ~ALKReadActivityRequestFilter() override;

  // The state that means "read".
  std::uint16_t markedState() const { return 1; }

  // Whether the store file holds a row of any state. The first answer looks
  // at the file through a connection of its own; from then on the store's
  // saves keep the number, so asking costs no connection. Whenever no save
  // is under way the answer is the file's. Any thread.
  bool hasInputObjectsAvailable() const override;
  // The inherited close, then no more wake-ups.
  void close() override;

  std::shared_ptr<DidRemoveBlock> activityStoreDidRemoveBlock() const { return didRemoveBlock_.load(); }
  void setActivityStoreDidRemoveBlock(std::shared_ptr<DidRemoveBlock> block) { didRemoveBlock_.store(std::move(block)); }

  // The store's will-save and did-save handlers, on the store queue.
  void activityStoreWillSaveNotification();
  void activityStoreDidSaveNotification(const platform::Notification& notification);

 private:
  static void installDidRemoveBlock(const std::shared_ptr<ALKReadActivityRequestFilter>& filter);
  void read(const platform::ObjectPtr& object, const Finish& finish);

  std::atomic<std::shared_ptr<DidRemoveBlock>> didRemoveBlock_;
  platform::ObservationToken willSaveObservation_;
  platform::ObservationToken didSaveObservation_;
  // Store queue only: the timestamps handed out until their row is deleted.
  std::set<double> handedOut_;
  // The rows of the file as the saves of the store left them; -1 until a
  // look at the file was taken while no save ran. The saves begun and those
  // known to have ended (a failed save posts no did-save: the next did-save
  // ends it too).
  mutable std::mutex rowsMutex_;  // guards the four; any thread, held for no call
  mutable std::int64_t knownRows_ = -1;
  // The store's file that knownRows_ counts (ALKActivityStore::fileGeneration).
  mutable std::uint64_t knownFile_ = 0;
  std::uint64_t savesBegun_ = 0;
  std::uint64_t savesEnded_ = 0;
};
