#pragma once

#include <memory>

#include "ALKActivityStoreFilter.h"

// The store stage after the sender: deletes the row of each hit that reaches
// it (by the row's ID, or by the activity's timestamp, preferring the row
// already read) and saves, which wakes the read stage for the next row. A hit
// whose row is gone passes; anything else fails with -301. A removal that
// could not be saved stays at the head and is tried again when the store is
// worth trying, as a write is. It has no output.
//
// Threads: the execution block runs on the store queue; the rest as for every
// stage.
class ALKRemoveActivityRequestFilter : public ALKActivityStoreFilter {
 public:
  // Active; a nil store is accepted.
  static std::shared_ptr<ALKRemoveActivityRequestFilter> filterWithActivityStore(
      std::shared_ptr<ALKActivityStore> store, std::shared_ptr<IALKQueue> inputQueue,
      std::shared_ptr<IALKQueue> outputQueue, std::shared_ptr<platform::DispatchQueue> executionQueue);

  ALKRemoveActivityRequestFilter(Passkey key, std::shared_ptr<ALKActivityStore> store,
                                 std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue,
                                 std::shared_ptr<platform::DispatchQueue> executionQueue);
  ~ALKRemoveActivityRequestFilter() override;
};
