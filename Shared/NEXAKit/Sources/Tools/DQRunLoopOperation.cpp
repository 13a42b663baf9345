#include "DQRunLoopOperation.h"

#include <chrono>

#include "Dispatch/DispatchQueue.h"
#include "RunLoop/RunLoop.h"

using platform::RunLoop;

DQRunLoopOperation::DQRunLoopOperation() : wakeUpSource_(DQLevelZeroRunLoopSource::make()) {}

DQRunLoopOperation::DQRunLoopOperation(std::shared_ptr<platform::Operation> parent) : parent_(std::move(parent)) {}

DQRunLoopOperation::~DQRunLoopOperation() {
  if (wakeUpSource_) wakeUpSource_->invalidate();
}

void DQRunLoopOperation::main() {
  if (wakeUpSource_) wakeUpSource_->scheduleInRunLoop();
  if (!isCancelled()) performOperationTask();
  if (wakeUpSource_) wakeUpSource_->invalidate();
}

void DQRunLoopOperation::cancel() {
  platform::Operation::cancel();
  if (wakeUpSource_) wakeUpSource_->signal();
}

bool DQRunLoopOperation::isCancelled() const {
  // A source that was signalled, by cancel() or directly, keeps the operation
  // cancelled after it has been performed.
  return platform::Operation::isCancelled() || (wakeUpSource_ && wakeUpSource_->wasSignalled()) ||
         (parent_ && parent_->isCancelled());
}

void DQRunLoopOperation::runUntil(const Condition& done) {
  const RunLoop runLoop = RunLoop::current();
  while (!done() && !isCancelled()) runLoop.runOnce(true);
}

void DQRunLoopOperation::runUntil(const Condition& done, const Condition& mayInterrupt) {
  const RunLoop runLoop = RunLoop::current();
  while (!done()) {
    if (isCancelled() && (!mayInterrupt || mayInterrupt())) break;
    runLoop.runOnce(true);
  }
}

void DQRunLoopOperation::runUntil(const Condition& done, double timeout) {
  if (!(timeout > 0)) return;
  // The run loop's own wait adds a wake-up at the deadline.
  const auto limit = std::chrono::nanoseconds(platform::dispatchDelta(timeout));
  RunLoop::current().runUntil([&] { return done() || isCancelled(); }, limit);
}

void DQRunLoopOperation::runUntilTimeout(double timeout) {
  runUntil([] { return false; }, timeout);
}
