#pragma once

#include <functional>
#include <memory>

#include "DQLevelZeroRunLoopSource.h"
#include "Dispatch/Operation.h"

// An operation whose waits spin the run loop of the thread that runs it (an
// operation queue's worker, which has a run loop of its own). Subclasses put
// their work in performOperationTask() and wait with the runUntil() family;
// cancel() from any thread wakes such a wait.
//
// An operation made with a parent has no wake-up source of its own: its waits
// end by their own condition or time limit, or when the parent's source (on
// the same thread's run loop) wakes the turn and the parent reports
// cancellation.
class DQRunLoopOperation : public platform::Operation {
 public:
  // The conditions of the waits; called on the operation's thread.
  using Condition = std::function<bool()>;

  // An operation with its own cancellation wake-up source.
  DQRunLoopOperation();
  // An operation whose cancellation also follows `parent` (held strongly;
  // nullptr for none). It has no wake-up source.
  explicit DQRunLoopOperation(std::shared_ptr<platform::Operation> parent);
  ~DQRunLoopOperation() override;

  // Schedules the wake-up source on the calling thread's run loop, runs
  // performOperationTask() unless cancelled, then invalidates the source.
  void main() override;
  // The work; empty here.
  virtual void performOperationTask() {}

  // Cancels and signals the wake-up source. Any thread.
  void cancel() override;
  // Cancelled itself, its source ever signalled (also after the source has
  // been performed), or its parent cancelled. Any thread.
  bool isCancelled() const override;

  // The waits. Each spins the calling thread's run loop, one turn at a time
  // until a source fires, and checks its condition before each turn. Call
  // them from performOperationTask().
  //
  // Until `done` answers true or the operation is cancelled.
  void runUntil(const Condition& done);
  // Until `done` answers true; cancellation ends the wait only when
  // `mayInterrupt` is empty or answers true at that moment.
  void runUntil(const Condition& done, const Condition& mayInterrupt);
  // Until `done` answers true, the operation is cancelled or `timeout`
  // seconds passed; nothing for a time that is not positive.
  void runUntil(const Condition& done, double timeout);
  // A cancellable pause of `timeout` seconds.
  void runUntilTimeout(double timeout);

  const std::shared_ptr<platform::Operation>& parentOperation() const { return parent_; }
  const std::shared_ptr<DQLevelZeroRunLoopSource>& wakeUpSource() const { return wakeUpSource_; }

 private:
  const std::shared_ptr<platform::Operation> parent_;
  const std::shared_ptr<DQLevelZeroRunLoopSource> wakeUpSource_;
};
