#include <gtest/gtest.h>

#include <glib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "Dispatch/BlockOperation.h"
#include "Dispatch/OperationQueue.h"
#include "RunLoop/RunLoop.h"

using namespace platform;
using namespace std::chrono_literals;

TEST(OperationTest, CancelledOperationSkipsItsWorkButRunsItsCompletion) {
  OperationQueue queue;
  std::atomic<bool> worked{false};
  std::promise<void> completed;
  auto operation = BlockOperation::make([&] { worked = true; });
  operation->setCompletionBlock([&] { completed.set_value(); });
  operation->cancel();
  queue.addOperation(operation);
  EXPECT_EQ(completed.get_future().wait_for(10s), std::future_status::ready);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(worked.load());
  EXPECT_TRUE(operation->isFinished());
  EXPECT_TRUE(operation->isCancelled());
}

TEST(OperationTest, WaitingOperationDoesNotBlockALaterReadyOne) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  auto gate = BlockOperation::make([] {});  // never added to a queue until later
  std::vector<std::string> order;
  std::mutex orderMutex;
  auto record = [&](std::string name) {
    std::lock_guard lock(orderMutex);
    order.push_back(std::move(name));
  };
  auto waiting = BlockOperation::make([&] { record("waiting"); });
  waiting->addDependency(gate);
  auto ready = BlockOperation::make([&] { record("ready"); });
  queue.addOperation(waiting);
  queue.addOperation(ready);
  ready->waitUntilFinished();
  EXPECT_FALSE(waiting->isFinished());
  gate->start();  // finishing the dependency releases the waiting operation
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order, (std::vector<std::string>{"ready", "waiting"}));
}

TEST(OperationTest, RunningCancelledDependencyIsWaitedFor) {
  OperationQueue queue;
  std::promise<void> started, release;
  auto releaseFuture = release.get_future().share();
  auto dependency = BlockOperation::make([&] {
    started.set_value();
    releaseFuture.wait();
  });
  auto dependent = BlockOperation::make([] {});
  dependent->addDependency(dependency);
  queue.addOperation(dependency);
  started.get_future().wait();
  dependency->cancel();
  EXPECT_FALSE(dependent->isReady());
  release.set_value();
  dependency->waitUntilFinished();
  EXPECT_TRUE(dependent->isReady());
}

TEST(OperationTest, CancelledDependencyCountsAsMet) {
  OperationQueue queue;
  auto dependency = BlockOperation::make([] {});
  auto dependent = BlockOperation::make([] {});
  dependent->addDependency(dependency);
  EXPECT_FALSE(dependent->isReady());
  dependency->cancel();
  EXPECT_TRUE(dependent->isReady());
  queue.addOperation(dependent);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(dependent->isFinished());
}

TEST(OperationTest, QueueOfOneRunsOperationsOneAtATimeOnAThreadWithItsOwnRunLoop) {
  OperationQueue queue("serial.ops");
  queue.setMaxConcurrentOperationCount(1);
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> ownContext{true};
  for (int i = 0; i < 20; ++i) {
    queue.addOperation([&] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      if (RunLoop::current().isMain()) ownContext = false;
      // Operations can spin their thread's run loop.
      RunLoop::current().perform([] {});
      RunLoop::current().runOnce(false);
      inside.fetch_sub(1);
    });
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(overlapped.load());
  EXPECT_TRUE(ownContext.load());
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationTest, CancelAllDrainsTheQueue) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  std::promise<void> release;
  auto releaseFuture = release.get_future().share();
  std::atomic<int> worked{0};
  std::atomic<int> completions{0};
  std::promise<void> blockerStarted;
  auto blocker = BlockOperation::make([&] {
    blockerStarted.set_value();
    releaseFuture.wait();
  });
  queue.addOperation(blocker);
  for (int i = 0; i < 10; ++i) {
    auto operation = BlockOperation::make([&] { ++worked; });
    operation->setCompletionBlock([&] { ++completions; });
    operation->addDependency(blocker);
    queue.addOperation(operation);
  }
  blockerStarted.get_future().wait();
  // The running blocker is cancelled too, but its dependents wait until it
  // has finished; by then they are cancelled and finish without working.
  queue.cancelAllOperations();
  release.set_value();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(worked.load(), 0);
  EXPECT_EQ(completions.load(), 10);
}

TEST(OperationTest, ConcurrentQueueRunsOperationsSideBySide) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(2);
  std::promise<void> firstStarted, secondStarted;
  auto second = secondStarted.get_future().share();
  queue.addOperation([&] {
    firstStarted.set_value();
    second.wait();  // only returns when the other runs at the same time
  });
  queue.addOperation([&] { secondStarted.set_value(); });
  EXPECT_EQ(second.wait_for(10s), std::future_status::ready);
  queue.waitUntilAllOperationsAreFinished();
}

TEST(OperationTest, StartOnTheCallingThreadRunsCompletionOnce) {
  int runs = 0, completions = 0;
  auto operation = BlockOperation::make([&] { ++runs; });
  operation->setCompletionBlock([&] { ++completions; });
  operation->start();
  operation->start();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(operation->isFinished());
  EXPECT_FALSE(operation->completionBlock());
}

TEST(OperationTest, QueueReleasedInsideItsOwnOperationLetsItsOtherWorkersGo) {
  auto queue = std::make_shared<OperationQueue>("released.inside");
  queue->setMaxConcurrentOperationCount(2);
  // Two operations that wait for each other, so that two workers exist.
  std::promise<void> added;
  auto addedFuture = added.get_future().share();
  std::atomic<int> started{0};
  std::promise<void> bothStarted;
  auto bothStartedFuture = bothStarted.get_future().share();
  auto meet = [&] {
    if (++started == 2) bothStarted.set_value();
    bothStartedFuture.wait();
  };
  auto quick = BlockOperation::make(meet);
  auto last = BlockOperation::make([&] {
    meet();
    addedFuture.wait();
    quick->waitUntilFinished();  // its worker is idle now
    queue.reset();               // the last owner lets the queue go on one of its workers
  });
  queue->addOperation(quick);
  queue->addOperation(last);
  added.set_value();
  // The destructor waits for the idle worker; it must not wait for the
  // operation it runs inside.
  last->waitUntilFinished();
  EXPECT_TRUE(quick->isFinished());
}
