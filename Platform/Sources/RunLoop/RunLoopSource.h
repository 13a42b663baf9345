#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "RunLoop/RunLoop.h"

typedef struct _GSource GSource;

namespace platform {

// A signalable run-loop source (the platform's "version 0" source): any
// thread may signal it; the run loop it is scheduled in then performs it once
// in a turn. A signal sent before anyone waits, or before the source is
// scheduled, is kept until the source is performed.
class RunLoopSource {
 public:
  // `perform` runs on the thread of the run loop the source fires in.
  explicit RunLoopSource(std::function<void()> perform = {});
  ~RunLoopSource();
  RunLoopSource(const RunLoopSource&) = delete;
  RunLoopSource& operator=(const RunLoopSource&) = delete;

  // Adds the source to a run loop; the first one is remembered as runLoop().
  void schedule(const RunLoop& runLoop);
  // Marks the source signalled and wakes the run loops it is scheduled in and
  // the one remembered as runLoop(), so that a thread blocked in a turn of
  // any of them returns. Any thread.
  void signal();
  // Removes the source from every run loop; safe to repeat. Any thread.
  void invalidate();

  bool isValid() const { return state_->valid.load(); }
  // Signalled and not yet performed.
  bool isSignalled() const { return state_->signalled.load(); }
  // Signalled at least once, performed or not: it stays true.
  bool wasSignalled() const { return state_->everSignalled.load(); }
  std::optional<RunLoop> runLoop() const;
  void setRunLoop(const RunLoop& runLoop);

 private:
  // The GLib side: ready while the shared flag is set; dispatch clears the
  // flag and performs.
  static int prepare(GSource* source, int* timeout);
  static int check(GSource* source);
  static int dispatch(GSource* source, int (*callback)(void*), void* data);
  static void finalize(GSource* source);

  struct State {
    std::atomic<bool> signalled{false};
    std::atomic<bool> everSignalled{false};
    std::atomic<bool> valid{true};
    std::function<void()> perform;  // set once, before scheduling
  };

  std::shared_ptr<State> state_;
  mutable std::mutex mutex_;  // guards sources_ and runLoop_
  // Each GSource with the run loop it is attached to: the handle keeps the
  // context alive for as long as the source may be woken in it, even after
  // the context's thread has ended.
  std::vector<std::pair<GSource*, RunLoop>> sources_;
  std::optional<RunLoop> runLoop_;
};

}  // namespace platform
