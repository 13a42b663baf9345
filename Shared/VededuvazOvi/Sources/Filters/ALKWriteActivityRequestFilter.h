#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "ALKActivityStoreFilter.h"

// The store stage that keeps each hit on disk: an activity (with its own
// timestamp) or a URL request (its URL and the current time) becomes a row,
// which is saved; the output is the row's ID. Anything else fails with -301
// and stays at the head of the input queue. A hit the store refuses for its
// capacity, or because it cannot be used, is dropped (with the store's ERROR
// line); a failed count or save keeps it at the head, and a failed save takes
// its unsaved row out of the store again so that a later run does not write
// it twice. Hits that wait for a store that cannot be opened, or whose save
// failed (a full disk), stay in the input queue (bounded by its capacity) and
// are stored once it works: the stage runs again when the store is worth
// trying (1 s after the first failure, doubling up to a minute), whether or
// not another hit comes. The close reports the hits it leaves unstored with
// one WARNING line.
//
// Threads: the execution block runs on the store queue, the only place that
// uses the store; the rest as for every stage.
class ALKWriteActivityRequestFilter : public ALKActivityStoreFilter {
 public:
  // Active; a nil store is accepted (every run then drops its hit).
  static std::shared_ptr<ALKWriteActivityRequestFilter> filterWithActivityStore(
      std::shared_ptr<ALKActivityStore> store, std::shared_ptr<IALKQueue> inputQueue,
      std::shared_ptr<IALKQueue> outputQueue, std::shared_ptr<platform::DispatchQueue> executionQueue);

  ALKWriteActivityRequestFilter(Passkey key, std::shared_ptr<ALKActivityStore> store,
                                std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue,
                                std::shared_ptr<platform::DispatchQueue> executionQueue);
  ~ALKWriteActivityRequestFilter() override;

  // The inherited close; the first one logs the hits left in the input
  // queue, which are never stored.
  void close() override;

  // Whether `capacity` differs from the one last noted here, noting it: the
  // store's capacity is set on the store queue only when the limit changed,
  // not before every run. Scheduling thread.
  bool noteCapacity(std::size_t capacity);

 private:
  std::optional<std::size_t> notedCapacity_;
};
