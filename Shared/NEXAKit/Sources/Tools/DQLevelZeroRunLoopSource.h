#pragma once

#include <memory>
#include <optional>

#include "RunLoop/RunLoop.h"
#include "RunLoop/RunLoopSource.h"

// A signalable wake-up source: signalling it from any thread makes a thread
// blocked in a turn of the run loop it is scheduled in return, and a signal
// sent before anyone waits is kept. The first run loop it is scheduled in is
// remembered as runLoop() (or set with setRunLoop), and a signal wakes it as
// well. The library has one run-loop mode, the default.
class DQLevelZeroRunLoopSource : public platform::RunLoopSource {
 public:
  static std::shared_ptr<DQLevelZeroRunLoopSource> make() { return std::make_shared<DQLevelZeroRunLoopSource>(); }

  // Schedules the source in `runLoop`, or in the calling thread's run loop.
  void scheduleInRunLoop(const std::optional<platform::RunLoop>& runLoop = std::nullopt) {
    schedule(runLoop ? *runLoop : platform::RunLoop::current());
  }
};
