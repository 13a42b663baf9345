#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "RunLoop/RunLoop.h"

namespace platform {

// A thread of its own that spins its own run loop (its thread-default
// context, pushed for the thread's whole life) until the object goes.
class RunLoopThread {
 public:
  // `name` is the thread's name as the system shows it, cut to 15 characters.
  explicit RunLoopThread(std::string name);
  // Runs the blocks already performed on the run loop, then stops and joins
  // the thread; called on the thread itself, it lets the thread end on its own.
  ~RunLoopThread();
  RunLoopThread(const RunLoopThread&) = delete;
  RunLoopThread& operator=(const RunLoopThread&) = delete;

  const RunLoop& runLoop() const { return runLoop_; }
  const std::string& name() const { return name_; }
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  // Names the calling thread (at most 15 characters are kept).
  static void setCurrentThreadName(const std::string& name);

 private:
  std::string name_;
  RunLoop runLoop_;
  std::shared_ptr<std::atomic<bool>> stop_;
  std::thread thread_;
};

}  // namespace platform
