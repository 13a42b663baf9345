#pragma once

#include <atomic>
#include <chrono>
#include <functional>

typedef struct _GMainContext GMainContext;

namespace platform {

// A handle on a thread's run loop: a GLib main context. The run loop of a
// thread is its thread-default context; the main thread's is the global
// default context. Handles are cheap to copy and compare equal when they name
// the same context. The last handle of a context finalizes it, with every
// source still in it and what they hold, on the thread that lets that handle
// go: a handle held for work on another thread is let go on the run loop's
// own thread (or on the one that ended it).
//
// Unlike the platform's run loops, a GLib turn with nothing to wait for blocks
// for ever: every wait needs a source, a timer or a deadline.
class RunLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // The calling thread's run loop.
  static RunLoop current();
  // The main thread's run loop (the global default context).
  static RunLoop main();

  explicit RunLoop(GMainContext* context);  // takes a reference
  RunLoop(const RunLoop& other);
  RunLoop(RunLoop&& other) noexcept;
  RunLoop& operator=(RunLoop other) noexcept;
  ~RunLoop();

  GMainContext* context() const { return context_; }
  bool isMain() const;
  bool operator==(const RunLoop& other) const { return context_ == other.context_; }

  // One turn on the owning thread: waits until a source fires (or only
  // dispatches what is ready when `mayBlock` is false). True when something
  // was dispatched.
  bool runOnce(bool mayBlock = true) const;
  // Turns until the deadline passes.
  void runUntil(Clock::time_point deadline) const;
  // Turns until `done` answers true (checked before each turn) or the time is
  // up; answers done(). For synchronous wrappers and tests.
  bool runUntil(const std::function<bool()>& done, Clock::duration timeout) const;

  // Makes a thread blocked in a turn of this run loop return. Any thread.
  void wakeUp() const;

  // Performs the block on this run loop's thread in a later turn, in FIFO
  // order with every other block performed on this run loop; never inline,
  // even when called on that thread. Any thread.
  void perform(std::function<void()> block) const;
  // Performs the block once after `delay` (a one-shot timer). Any thread.
  void performAfter(Clock::duration delay, std::function<void()> block) const;

 private:
  GMainContext* context_;
  // The context's FIFO of performed blocks, looked up once per handle.
  mutable std::atomic<void*> performSource_{nullptr};
};

}  // namespace platform
