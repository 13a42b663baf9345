#pragma once

#include <functional>
#include <memory>

#include "Dispatch/DispatchQueue.h"
#include "Values/Date.h"

// The time that pipeline stages pace themselves by, and how they wait for it,
// and the wall time that hits are measured by. This one is the monotonic
// clock of dispatch queues and the system's wall clock; tests put in a clock
// that they move by hand.
class ALKClock {
 public:
  virtual ~ALKClock() = default;

  // The wall time: seconds since 1 January 2001 UTC, with the fraction. The
  // queue time and the cache buster of a hit read it. Any thread.
  virtual double currentTimestamp() const { return platform::Date::now().timeIntervalSinceReferenceDate(); }
  // The present time of this clock. Any thread.
  virtual platform::DispatchTime now() const { return platform::dispatchTimeNow(); }
  // Runs `block` on `queue` once this clock reaches `when`. Called on the
  // thread that schedules a stage (the main thread).
  virtual void performAt(const std::shared_ptr<platform::DispatchQueue>& queue, platform::DispatchTime when,
                         std::function<void()> block) {
    queue->after(when, std::move(block));
  }
};
