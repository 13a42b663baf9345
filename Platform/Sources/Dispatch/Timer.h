#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "Values/Date.h"
#include "RunLoop/RunLoop.h"

typedef struct _GSource GSource;

namespace platform {

// A timer scheduled on a run loop, as the platform's timers: one-shot or
// repeating. The run loop keeps a valid timer alive; a one-shot timer becomes
// invalid after it fires, but its record stays usable.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  // Called on the run loop's thread with the timer that fired.
  using Block = std::function<void(Timer& timer)>;

  // Schedules a timer on `runLoop` that fires after `interval` seconds (and
  // then every `interval` seconds when it repeats; a repeating interval below
  // 0.1 ms, or not a number, is raised to 0.1 ms). Any thread.
  static std::shared_ptr<Timer> scheduled(const RunLoop& runLoop, double interval, bool repeats, Block block);

  ~Timer();

  // Stops the timer for good; the block is released. Any thread; idempotent.
  void invalidate();
  bool isValid() const { return valid_.load(); }
  // The wall-clock time of the next firing.
  Date fireDate() const;
  double timeInterval() const { return interval_; }
  bool repeats() const { return repeats_; }

 private:
  Timer(double interval, bool repeats, Block block);
  static int fire(void* data);  // the GLib callback

  const double interval_;
  const bool repeats_;
  std::atomic<bool> valid_{true};
  mutable std::mutex mutex_;  // guards block_, source_ and fireDate_
  Block block_;
  GSource* source_ = nullptr;
  Date fireDate_;
};

}  // namespace platform
