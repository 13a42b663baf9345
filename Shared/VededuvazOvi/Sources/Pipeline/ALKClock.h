#pragma once

#include <functional>
#include <memory>

#include "Dispatch/DispatchQueue.h"

// The time that pipeline stages pace themselves by, and how they wait for it.
// This one is the monotonic clock of dispatch queues; tests put in a clock
// that they move by hand.
class ALKClock {
 public:
  virtual ~ALKClock() = default;

  // The present time of this clock. Any thread.
  virtual platform::DispatchTime now() const { return platform::dispatchTimeNow(); }
  // Runs `block` on `queue` once this clock reaches `when`. Called on the
  // thread that schedules a stage (the main thread).
  virtual void performAt(const std::shared_ptr<platform::DispatchQueue>& queue, platform::DispatchTime when,
                         std::function<void()> block) {
    queue->after(when, std::move(block));
  }
};
