#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "RunLoop/RunLoop.h"

namespace platform {

class RunLoopThread;

// A dispatch time: nanoseconds of the monotonic clock. kDispatchTimeNow
// means now; kDispatchTimeForever means never.
using DispatchTime = std::uint64_t;
inline constexpr DispatchTime kDispatchTimeNow = 0;
inline constexpr DispatchTime kDispatchTimeForever = ~DispatchTime{0};

// The monotonic clock in nanoseconds.
DispatchTime dispatchTimeNow();
// `base` (kDispatchTimeNow for now) plus `deltaNanoseconds`, saturating:
// never wraps and never reaches kDispatchTimeForever unless `base` is it.
DispatchTime dispatchTime(DispatchTime base, std::int64_t deltaNanoseconds);
// `seconds` as a delta in nanoseconds, saturating (infinite and huge values
// give the largest delta; NaN and negative values give 0).
std::int64_t dispatchDelta(double seconds);

// A queue of blocks, as the platform's dispatch queues: the main queue (the
// main thread's run loop), serial queues (one thread each, FIFO) and the
// global concurrent queue. Blocks never run inline in async or after.
class DispatchQueue {
 public:
  // The main thread's queue: blocks run in FIFO order in later turns of the
  // main run loop.
  static std::shared_ptr<DispatchQueue> main();
  // A concurrent queue whose blocks run on a pool of worker threads.
  static std::shared_ptr<DispatchQueue> global();
  // A serial queue with a thread of its own; the thread's name is the label
  // cut to 15 characters, the queue keeps the whole label.
  static std::shared_ptr<DispatchQueue> serial(std::string label);

  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const { return label_; }
  bool isMain() const { return kind_ == Kind::Main; }

  void async(std::function<void()> block);
  // Runs the block at `when`; kDispatchTimeForever never runs it.
  void after(DispatchTime when, std::function<void()> block);
  // Runs the block on the queue and waits for it; inline when the caller is
  // already on this (serial or main) queue.
  void sync(const std::function<void()>& block);
  // Whether the calling thread is the one that runs this queue's blocks
  // (always false for the global queue).
  bool isCurrent() const;

  // Whether the calling thread is the process's main thread.
  static bool isMainThread();

 private:
  enum class Kind { Main, Serial, Global };
  DispatchQueue(Kind kind, std::string label);

  Kind kind_;
  std::string label_;
  RunLoop runLoop_;                        // where async and after post (unused by the pool)
  std::unique_ptr<RunLoopThread> thread_;  // serial queues; the timer thread of the global queue
  void* pool_ = nullptr;                   // GThreadPool of the global queue
};

}  // namespace platform
