#include "Dispatch/Timer.h"

#include <glib.h>

#include <algorithm>

#include "Dispatch/DispatchQueue.h"
#include "RunLoop/GSourceSupport.h"

namespace platform {
namespace {

// The shortest interval of a repeating timer.
constexpr double kMinimumRepeatInterval = 0.0001;

// An interval in seconds as a delay; a huge or infinite one saturates far in
// the future instead of wrapping into the past.
std::chrono::nanoseconds delayOf(double seconds) { return std::chrono::nanoseconds(dispatchDelta(seconds)); }

// The run loop holds a strong reference to the timer until the source goes.
void releaseTimer(gpointer data) {
  PLATFORM_TSAN_ACQUIRE(data);
  delete static_cast<std::shared_ptr<Timer>*>(data);
}

}  // namespace

Timer::Timer(double interval, bool repeats, Block block)
    : interval_(repeats && !(interval >= kMinimumRepeatInterval) ? kMinimumRepeatInterval : interval),
      repeats_(repeats),
      block_(std::move(block)) {}

Timer::~Timer() {
  if (source_) g_source_unref(source_);
}

std::shared_ptr<Timer> Timer::scheduled(const RunLoop& runLoop, double interval, bool repeats, Block block) {
  std::shared_ptr<Timer> timer(new Timer(interval, repeats, std::move(block)));
  std::lock_guard lock(timer->mutex_);
  timer->fireDate_ = Date::now().addingTimeInterval(std::max(timer->interval_, 0.0));
  timer->source_ = newDeadlineSource(monotonicMicrosAfter(delayOf(timer->interval_)));
  g_source_set_callback(timer->source_, &Timer::fire, new std::shared_ptr<Timer>(timer), releaseTimer);
  attachSource(timer->source_, runLoop.context());
  return timer;
}

int Timer::fire(void* data) {
  // Keep the timer alive through the block even if the block invalidates it.
  std::shared_ptr<Timer> self = *static_cast<std::shared_ptr<Timer>*>(data);
  if (!self->valid_.load()) return G_SOURCE_REMOVE;
  Block block;
  {
    std::lock_guard lock(self->mutex_);
    block = self->block_;
    if (self->repeats_) {
      self->fireDate_ = Date::now().addingTimeInterval(self->interval_);
      g_source_set_ready_time(self->source_, monotonicMicrosAfter(delayOf(self->interval_)));
    }
  }
  if (!self->repeats_) self->valid_.store(false);
  if (block) block(*self);
  if (!self->repeats_) {
    std::lock_guard lock(self->mutex_);
    self->block_ = nullptr;
    return G_SOURCE_REMOVE;
  }
  return self->valid_.load() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void Timer::invalidate() {
  valid_.store(false);
  GSource* source;
  Block released;
  {
    std::lock_guard lock(mutex_);
    source = source_;
    released = std::move(block_);
    block_ = nullptr;
  }
  // Destroying the source drops the run loop's reference; `this` stays alive
  // because the caller holds one. The block is released outside the lock.
  if (source) g_source_destroy(source);
}

Date Timer::fireDate() const {
  std::lock_guard lock(mutex_);
  return fireDate_;
}

}  // namespace platform
