#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "DQRunLoopOperation.h"
#include "Dispatch/OperationQueue.h"
#include "RunLoop/RunLoop.h"
#include "TestSupport.h"

using namespace platform;
using testsupport::kPatience;

namespace {

// An operation whose work is `task`; it tells the test when the work began
// and on which run loop.
class TaskOperation : public DQRunLoopOperation {
 public:
  using Task = std::function<void(TaskOperation&)>;
  explicit TaskOperation(Task task) : task_(std::move(task)) {}
  TaskOperation(Task task, std::shared_ptr<Operation> parent)
      : DQRunLoopOperation(std::move(parent)), task_(std::move(task)) {}

  void performOperationTask() override {
    started_.set_value(RunLoop::current());
    task_(*this);
    returned.store(true);
  }
  // Blocks until the work began; answers its run loop.
  RunLoop waitForStart() { return startedFuture_.get(); }

  std::atomic<bool> returned{false};

 private:
  Task task_;
  std::promise<RunLoop> started_;
  std::shared_future<RunLoop> startedFuture_ = started_.get_future().share();
};

// An operation queue running one operation; finished() waits a bounded time.
class QueuedRun {
 public:
  explicit QueuedRun(const std::shared_ptr<Operation>& operation) {
    operation->setCompletionBlock([this] { done_.set_value(); });
    queue_.addOperation(operation);
  }
  bool finished() { return future_.wait_for(kPatience) == std::future_status::ready; }

 private:
  OperationQueue queue_{"runloop.op.test"};
  std::promise<void> done_;
  std::future<void> future_ = done_.get_future();
};

}  // namespace

TEST(DQRunLoopOperationTest, CancelFromAnotherThreadWakesEachOfTheFourWaits) {
  const std::vector<std::pair<std::string, TaskOperation::Task>> waits = {
      {"runUntil", [](TaskOperation& op) { op.runUntil([] { return false; }); }},
      {"runUntil:mayInterruptIf:", [](TaskOperation& op) { op.runUntil([] { return false; }, [] { return true; }); }},
      {"runUntil:timeout:", [](TaskOperation& op) { op.runUntil([] { return false; }, 3600.0); }},
      {"runUntilTimeout:", [](TaskOperation& op) { op.runUntilTimeout(3600.0); }},
  };
  for (const auto& [name, wait] : waits) {
    // A signal of the wake-up source itself cancels too, and keeps reading as
    // cancelled once the source has been performed.
    for (const bool bySignal : {false, true}) {
      SCOPED_TRACE(name + (bySignal ? " signalled" : " cancelled"));
      auto operation = std::make_shared<TaskOperation>(wait);
      QueuedRun run(operation);
      operation->waitForStart();
      bySignal ? operation->wakeUpSource()->signal() : operation->cancel();
      const bool finished = run.finished();
      if (!finished) operation->cancel();  // let the queue end
      EXPECT_TRUE(finished);
      EXPECT_TRUE(operation->returned.load());
      EXPECT_TRUE(operation->isCancelled());
    }
  }
}

TEST(DQRunLoopOperationTest, WaitsEndByTheirConditionOrTimeWithoutCancellation) {
  std::atomic<bool> done{false};
  int checks = 0;
  auto operation = std::make_shared<TaskOperation>([&](TaskOperation& op) {
    // Set from a block performed on this run loop: the wait checks before each turn.
    RunLoop::current().perform([&] { done.store(true); });
    op.runUntil([&] { return ++checks, done.load(); });
    op.runUntil([&] { return ++checks, false; }, 0.0);  // nothing for a time that is not positive
    op.runUntilTimeout(0.01);                           // a short pause that ends by itself
  });
  QueuedRun run(operation);
  ASSERT_TRUE(run.finished());
  EXPECT_GE(checks, 2);
  EXPECT_FALSE(operation->isCancelled());
}

TEST(DQRunLoopOperationTest, CancellationEndsMayInterruptWaitOnlyWhenAllowed) {
  std::atomic<bool> interruptible{false};
  std::atomic<bool> done{false};
  auto operation = std::make_shared<TaskOperation>([&](TaskOperation& op) {
    op.runUntil([&] { return done.load(); }, [&] { return interruptible.load(); });
  });
  QueuedRun run(operation);
  const RunLoop loop = operation->waitForStart();
  operation->cancel();
  // Cancelled but not interruptible: the wait goes on through further turns.
  // Each block runs in a turn of the wait, if it still spins; the second one
  // is queued after the first ran, so the wait looked at the cancellation in
  // between.
  for (int turn = 0; turn < 2; ++turn) {
    auto stillWaiting = std::make_shared<std::promise<bool>>();
    loop.perform([stillWaiting, operation] { stillWaiting->set_value(!operation->returned.load()); });
    auto answer = stillWaiting->get_future();
    ASSERT_EQ(answer.wait_for(kPatience), std::future_status::ready);
    EXPECT_TRUE(answer.get());
  }
  interruptible.store(true);
  loop.wakeUp();
  EXPECT_TRUE(run.finished());
  EXPECT_FALSE(done.load());
}

TEST(DQRunLoopOperationTest, ChildFollowsItsParentsCancellationThroughTheParentsSource) {
  std::promise<std::shared_ptr<TaskOperation>> childMade;
  auto parent = std::make_shared<TaskOperation>([&](TaskOperation& op) {
    // The child runs inside the parent's work on the same thread; it has no
    // source of its own, so the parent's source wakes its wait.
    auto child = std::make_shared<TaskOperation>([](TaskOperation& c) { c.runUntil([] { return false; }); },
                                                 op.sharedAs<Operation>());
    childMade.set_value(child);
    child->start();
  });
  QueuedRun run(parent);
  auto future = childMade.get_future();
  ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
  auto child = future.get();
  child->waitForStart();
  EXPECT_FALSE(child->wakeUpSource());
  parent->cancel();
  ASSERT_TRUE(run.finished());
  EXPECT_TRUE(child->returned.load());
  EXPECT_TRUE(child->isCancelled());
}
