#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>

#include "Observation/ObservationToken.h"

namespace platform {

// The registration shared by the notification centre and key-value
// observation: an observer's block behind a lock of its own.
//
// Thread rules. The owner keeps its registrations in a list under its own
// mutex, copies the list under that mutex, releases it and only then calls
// call() on each copy; the owner's mutex is never held while this
// registration's lock is taken. call() holds this registration's recursive
// lock while the block runs, on the calling thread. cancel() takes the same
// lock, so it waits for a call running on another thread, and it may be made
// from inside the block on the block's own thread. Two observers that cancel
// each other from inside their blocks on two threads at once deadlock, as two
// mutexes taken in opposite orders do.
template <class... Args>
class ObserverRegistration final : public ObservationToken::Registration {
 public:
  using Block = std::function<void(Args...)>;
  // Removes the registration from its owner's list. Called once, by the first
  // cancel(), on the cancelling thread and without this registration's lock.
  using Detach = std::function<void(const ObserverRegistration*)>;

  ObserverRegistration(Block block, Detach detach) : block_(std::move(block)), detach_(std::move(detach)) {}

  // Runs the block on the calling thread unless the registration was
  // cancelled.
  void call(Args... args) {
    Block released;  // destroyed last, after the lock is released
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    // A block that cancelled itself is released when its outermost call
    // returns, never while it runs.
    struct Depth {
      ObserverRegistration& self;
      Block& released;
      ~Depth() {
        if (--self.depth_ == 0 && self.cancelled_) released = std::move(self.block_);
      }
    } depth{*this, released};
    ++depth_;
    block_(args...);
  }

  void cancel() override {
    Block released;  // the block's captures go away outside the lock
    Detach detach;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return;
      cancelled_ = true;
      detach = std::move(detach_);
      if (depth_ == 0) released = std::move(block_);
    }
    if (detach) detach(this);
  }

  bool isActive() const override { return !cancelled_; }

 private:
  std::recursive_mutex mutex_;
  std::atomic<bool> cancelled_{false};  // set under mutex_
  int depth_ = 0;                       // nested calls on the thread holding mutex_
  Block block_;
  Detach detach_;
};

}  // namespace platform
