#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "RunLoop/RunLoop.h"

namespace platform {

// The caller's side of work that another thread reports on: the run loop of
// the thread that started it, and the handler. The other thread reaches them
// only through this holder, and the caller's thread lets both go (letGo), so
// that the other thread never drops the last reference on them, even while it
// still holds the holder. There, a run loop whose thread has ended would be
// finalized, with every source and queued block still in it and what they
// hold, and the handler's captures destroyed.
template <typename Handler>
class CallerSide : public std::enable_shared_from_this<CallerSide<Handler>> {
 public:
  // The block of a report, performed on the caller's thread with a copy of
  // the handler, so that the handler may let the caller side go.
  using Report = std::function<void(const Handler&)>;

  // On the caller's thread.
  CallerSide(RunLoop runLoop, Handler handler) : runLoop_(std::move(runLoop)), handler_(std::move(handler)) {}

  // Performs the report on the caller's run loop, unless the caller let go
  // before it is posted or before it runs. Any thread.
  void perform(Report report) { post(std::move(report), false); }
  // The same, for the last report: the caller side lets go before the
  // handler is called, so nothing reaches the handler after it.
  void performLast(Report report) { post(std::move(report), true); }

  // Nothing more reaches the handler; the run loop and the handler go now.
  // On the caller's thread (once it has ended, on the thread that ended it).
  void letGo() {
    std::optional<RunLoop> runLoop;
    {
      std::lock_guard lock(mutex_);
      runLoop.swap(runLoop_);
    }
    handler_ = nullptr;
  }

 private:
  void post(Report report, bool last) {
    // Under the lock: the caller's thread cannot let the run loop go while
    // a report is being posted to it.
    std::lock_guard lock(mutex_);
    if (!runLoop_) return;
    runLoop_->perform([self = this->shared_from_this(), report = std::move(report), last] {
      if (!self->handler_) return;
      const Handler handler = self->handler_;
      if (last) self->letGo();
      report(handler);
    });
  }

  std::mutex mutex_;  // guards runLoop_; the caller's thread and the reporting one
  std::optional<RunLoop> runLoop_;
  Handler handler_;  // on the caller's thread only
};

}  // namespace platform
