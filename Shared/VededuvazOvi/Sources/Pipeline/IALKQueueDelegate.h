#pragma once

#include <vector>

#include "Values/Object.h"

class IALKQueue;

// Told by a queue after each change. In the engine the delegate of a queue is
// the stage that reads from it. Both calls run synchronously on the thread
// that changed the queue (the main thread), after the change and after the
// queue's key-value observers.
class IALKQueueDelegate {
 public:
  virtual ~IALKQueueDelegate() = default;

  // `objects` were added.
  virtual void queueDidEnqueueObjects(IALKQueue& /*queue*/, const std::vector<platform::ObjectPtr>& /*objects*/) {}
  // `objects` were removed.
  virtual void queueDidDequeueObjects(IALKQueue& /*queue*/, const std::vector<platform::ObjectPtr>& /*objects*/) {}
};
