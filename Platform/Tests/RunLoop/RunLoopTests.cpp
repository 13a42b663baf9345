#include <gtest/gtest.h>

#include <glib.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "Dispatch/DispatchQueue.h"
#include "RunLoop/FdWatch.h"
#include "RunLoop/RunLoop.h"
#include "RunLoop/RunLoopSource.h"
#include "RunLoop/RunLoopThread.h"
#include "Dispatch/Timer.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {
// Generous bound for waits that should end far sooner; never a verdict on speed.
constexpr auto kPatience = 10s;

// Schedules the source in the thread's run loop, from that thread, and waits
// until it is.
void scheduleOnThread(RunLoopSource& source, RunLoopThread& thread) {
  std::promise<void> scheduled;
  thread.runLoop().perform([&] {
    source.schedule(RunLoop::current());
    scheduled.set_value();
  });
  scheduled.get_future().wait();
}
}  // namespace

TEST(RunLoopSourceTest, SignalFromAnotherThreadWakesABlockedTurn) {
  RunLoopThread thread("source.test");
  std::atomic<int> performed{0};
  RunLoopSource source([&] { ++performed; });
  scheduleOnThread(source, thread);
  // The thread now blocks in a turn with nothing else to wake it.
  source.signal();
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (performed.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(performed.load(), 1);
  EXPECT_EQ(source.runLoop(), thread.runLoop());
  source.invalidate();
  source.invalidate();  // safe to repeat
  EXPECT_FALSE(source.isValid());
}

TEST(RunLoopSourceTest, SignalWakesTheRememberedRunLoopToo) {
  RunLoopThread thread("source.remembered");
  std::promise<void> waiting;
  std::promise<void> returned;
  thread.runLoop().perform([&] {
    waiting.set_value();
    RunLoop::current().runOnce(true);  // nothing but a wake-up ends this turn
    returned.set_value();
  });
  waiting.get_future().wait();
  RunLoopSource source;  // scheduled nowhere
  source.setRunLoop(thread.runLoop());
  source.signal();
  auto woken = returned.get_future();
  const bool wasWoken = woken.wait_for(kPatience) == std::future_status::ready;
  if (!wasWoken) thread.runLoop().wakeUp();  // let the thread end
  EXPECT_TRUE(wasWoken);
  EXPECT_TRUE(source.wasSignalled());
}

TEST(RunLoopSourceTest, SignalSentBeforeTheWaitIsNotLost) {
  RunLoop loop = RunLoop::current();
  int performed = 0;
  RunLoopSource source([&] { ++performed; });
  source.signal();  // before scheduling and before anyone waits
  source.schedule(loop);
  EXPECT_TRUE(loop.runUntil([&] { return performed > 0; }, kPatience));
  EXPECT_FALSE(source.isSignalled());
  EXPECT_TRUE(source.wasSignalled());  // performed, yet it was signalled
  // Performed once per signal, not on every turn.
  loop.runOnce(false);
  EXPECT_EQ(performed, 1);
}

TEST(RunLoopSourceTest, InvalidatedSourceNeverPerforms) {
  RunLoop loop = RunLoop::current();
  int performed = 0;
  RunLoopSource source([&] { ++performed; });
  source.schedule(loop);
  source.invalidate();
  source.signal();
  loop.runUntil(std::chrono::steady_clock::now() + 20ms);
  EXPECT_EQ(performed, 0);
}

TEST(RunLoopSourceTest, OutlivesTheThreadOfItsRunLoop) {
  // GLib reports its misuse as criticals, which would only be printed.
  int criticals = 0;
  const guint handler = g_log_set_handler(
      "GLib", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
      [](const gchar*, GLogLevelFlags, const gchar*, gpointer count) { ++*static_cast<int*>(count); }, &criticals);
  RunLoopSource source([] {});
  for (const char* name : {"source.first", "source.second"}) {
    RunLoopThread thread(name);
    scheduleOnThread(source, thread);
  }
  // Both threads and their handles are gone; only the first run loop is
  // remembered as runLoop(), the source is still in both.
  source.signal();
  EXPECT_TRUE(source.isSignalled());
  source.invalidate();
  g_log_remove_handler("GLib", handler);
  EXPECT_EQ(criticals, 0);
}

TEST(RunLoopTest, PerformedBlocksRunInOrderAndNeverInline) {
  RunLoop loop = RunLoop::main();
  std::vector<int> order;
  loop.perform([&] { order.push_back(1); });
  loop.perform([&] {
    order.push_back(2);
    loop.perform([&] { order.push_back(4); });  // queued behind 3
  });
  loop.perform([&] { order.push_back(3); });
  EXPECT_TRUE(order.empty());
  EXPECT_TRUE(loop.runUntil([&] { return order.size() == 4; }, kPatience));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(RunLoopTest, NestedSpinningKeepsPerformOrder) {
  RunLoop loop = RunLoop::main();
  std::vector<int> order;
  loop.perform([&] {
    order.push_back(1);
    // Spins inside a performed block until the blocks behind it ran.
    loop.runUntil([&] { return order.size() >= 3; }, kPatience);
    order.push_back(4);
  });
  loop.perform([&] { order.push_back(2); });
  loop.perform([&] { order.push_back(3); });
  EXPECT_TRUE(loop.runUntil([&] { return order.size() == 4; }, kPatience));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

// Threads that start before the main thread first turns its run loop perform
// blocks and schedule timers there while it turns and schedules its own
// deadlines: every block and timer runs there, once.
TEST(RunLoopTest, OtherThreadsPerformAndScheduleOnTheMainRunLoopWhileItTurns) {
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  std::atomic<bool> go{false};
  int performed = 0;  // main thread only
  int fired = 0;      // main thread only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kEach; ++i) {
        RunLoop::main().perform([&] { ++performed; });
        RunLoop::main().performAfter(1ms, [&] { ++fired; });
      }
    });
  }
  go = true;
  const RunLoop loop = RunLoop::main();
  EXPECT_TRUE(loop.runUntil([&] { return performed == kThreads * kEach && fired == kThreads * kEach; }, kPatience));
  for (auto& thread : threads) thread.join();
  loop.runUntil(RunLoop::Clock::now() + 20ms);
  EXPECT_EQ(performed, kThreads * kEach);
  EXPECT_EQ(fired, kThreads * kEach);
}

TEST(RunLoopTest, RunUntilReturnsAtTheDeadlineWithNoSource) {
  RunLoopThread thread("deadline.test");
  std::promise<bool> result;
  thread.runLoop().perform([&] { result.set_value(RunLoop::current().runUntil([] { return false; }, 10ms)); });
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(future.get());
}

TEST(RunLoopTest, RunUntilWithAnEndlessTimeoutWaitsForItsCondition) {
  // "For ever" must not wrap into a deadline in the past.
  RunLoop loop = RunLoop::current();
  bool done = false;
  loop.perform([&] { done = true; });
  EXPECT_TRUE(loop.runUntil([&] { return done; }, RunLoop::Clock::duration::max()));
}

TEST(TimerTest, OneShotTimerFiresOnceAndBecomesInvalid) {
  RunLoop loop = RunLoop::current();
  int fired = 0;
  auto timer = Timer::scheduled(loop, 0.001, false, [&](Timer&) { ++fired; });
  EXPECT_TRUE(timer->isValid());
  EXPECT_TRUE(loop.runUntil([&] { return fired > 0; }, kPatience));
  EXPECT_FALSE(timer->isValid());
  loop.runUntil(std::chrono::steady_clock::now() + 10ms);
  EXPECT_EQ(fired, 1);
}

TEST(TimerTest, RepeatingTimerStopsWhenInvalidatedFromItsBlock) {
  RunLoop loop = RunLoop::current();
  int fired = 0;
  auto timer = Timer::scheduled(loop, 0.001, true, [&](Timer& t) {
    if (++fired == 3) t.invalidate();
  });
  EXPECT_TRUE(loop.runUntil([&] { return !timer->isValid(); }, kPatience));
  loop.runUntil(std::chrono::steady_clock::now() + 10ms);
  EXPECT_EQ(fired, 3);
}

TEST(TimerTest, InvalidatedTimerNeverFiresAndReleasesItsBlock) {
  RunLoop loop = RunLoop::current();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  bool fired = false;
  auto timer = Timer::scheduled(loop, 0.001, false, [&fired, token](Timer&) { fired = true; });
  token.reset();
  timer->invalidate();
  EXPECT_TRUE(watch.expired());
  loop.runUntil(std::chrono::steady_clock::now() + 10ms);
  EXPECT_FALSE(fired);
  EXPECT_GT(timer->fireDate().timeIntervalSinceReferenceDate(), 0.0);
}

TEST(TimerTest, HugeIntervalsLieInTheFutureAndNoIntervalNeverSpins) {
  RunLoop loop = RunLoop::current();
  int fired = 0;
  std::vector<std::shared_ptr<Timer>> timers;
  for (double interval : {1e10, 1e13, 1e300, std::numeric_limits<double>::infinity()}) {
    for (bool repeats : {false, true}) {
      timers.push_back(Timer::scheduled(loop, interval, repeats, [&](Timer&) { ++fired; }));
    }
  }
  auto undefined = Timer::scheduled(loop, std::nan(""), true, [&](Timer&) { ++fired; });
  EXPECT_EQ(undefined->timeInterval(), 0.0001);
  undefined->invalidate();
  // Turns that only dispatch what is due: none of them is.
  for (int turn = 0; turn < 5; ++turn) loop.runOnce(false);
  EXPECT_EQ(fired, 0);
  for (const auto& timer : timers) {
    EXPECT_TRUE(timer->isValid());
    timer->invalidate();
  }
}

TEST(FdWatchTest, ReportsReadableDescriptors) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  RunLoop loop = RunLoop::current();
  std::string received;
  FdWatch watch(loop, fds[0], FdWatch::kReadable, [&](int fd, unsigned conditions) {
    if (conditions & FdWatch::kReadable) {
      char buffer[16];
      const auto n = read(fd, buffer, sizeof buffer);
      if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    }
  });
  ASSERT_EQ(write(fds[1], "ping", 4), 4);
  EXPECT_TRUE(loop.runUntil([&] { return received == "ping"; }, kPatience));
  close(fds[0]);
  close(fds[1]);
}

TEST(FdWatchTest, AWatchMayDestroyItselfInItsCallback) {
  // As a socket callback of libcurl does when the transfer it serves ends.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  RunLoop loop = RunLoop::current();
  std::unique_ptr<FdWatch> watch;
  int calls = 0;
  watch = std::make_unique<FdWatch>(loop, fds[0], FdWatch::kReadable, [&](int fd, unsigned) {
    ++calls;
    EXPECT_EQ(fd, fds[0]);
    watch.reset();
  });
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_TRUE(loop.runUntil([&] { return watch == nullptr; }, kPatience));
  loop.runOnce(false);  // still readable, but nobody watches any more
  EXPECT_EQ(calls, 1);
  close(fds[0]);
  close(fds[1]);
}

TEST(DispatchQueueTest, MainQueueRunsInOrderAndNeverInline) {
  auto main = DispatchQueue::main();
  std::vector<int> order;
  std::thread other([&] {
    for (int i = 0; i < 100; ++i) main->async([&order, i] { order.push_back(i); });
  });
  other.join();
  main->async([&] { order.push_back(100); });
  EXPECT_TRUE(order.empty());  // nothing ran inside async
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return order.size() == 101; }, kPatience));
  for (int i = 0; i <= 100; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(main->isCurrent());
}

TEST(DispatchQueueTest, SerialQueueRunsOneBlockAtATimeInOrder) {
  auto queue = DispatchQueue::serial("com.example.a.rather.long.queue.label");
  EXPECT_EQ(queue->label(), "com.example.a.rather.long.queue.label");
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<int> order;
  for (int i = 0; i < 50; ++i) {
    queue->async([&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      std::this_thread::yield();
      order.push_back(i);
      inside.fetch_sub(1);
    });
  }
  queue->sync([] {});
  EXPECT_FALSE(overlapped.load());
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  bool nested = false;
  queue->sync([&] { queue->sync([&] { nested = queue->isCurrent(); }); });  // inline, no deadlock
  EXPECT_TRUE(nested);
}

TEST(DispatchQueueTest, SerialQueueMayBeLetGoInsideItsOwnBlock) {
  auto queue = DispatchQueue::serial("released.inside");
  std::promise<void> ran;
  // The block holds the last reference; the queue goes when the block does,
  // on the queue's own thread, which cannot join itself.
  queue->async([held = queue, &ran]() mutable {
    EXPECT_TRUE(held->isCurrent());
    ran.set_value();
  });
  queue.reset();
  EXPECT_EQ(ran.get_future().wait_for(kPatience), std::future_status::ready);
}

TEST(DispatchQueueTest, AfterRunsLaterAndForeverNever) {
  auto queue = DispatchQueue::serial("after.test");
  std::promise<void> ran;
  std::atomic<bool> never{false};
  queue->after(kDispatchTimeForever, [&] { never = true; });
  queue->after(dispatchTime(kDispatchTimeNow, 1'000'000), [&] { ran.set_value(); });
  EXPECT_EQ(ran.get_future().wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(never.load());
}

TEST(DispatchQueueTest, GlobalQueueRunsBlocks) {
  std::promise<void> ran;
  DispatchQueue::global()->async([&] { ran.set_value(); });
  EXPECT_EQ(ran.get_future().wait_for(kPatience), std::future_status::ready);
}

TEST(DispatchTimeTest, ArithmeticSaturates) {
  EXPECT_EQ(dispatchTime(kDispatchTimeForever, 5), kDispatchTimeForever);
  EXPECT_EQ(dispatchTime(10, std::numeric_limits<std::int64_t>::max()) , 10 + static_cast<DispatchTime>(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(dispatchTime(kDispatchTimeForever - 10, std::numeric_limits<std::int64_t>::max()), kDispatchTimeForever - 1);
  EXPECT_EQ(dispatchTime(100, -50), 50u);
  EXPECT_EQ(dispatchTime(100, std::numeric_limits<std::int64_t>::min()), 1u);
  EXPECT_EQ(dispatchDelta(std::numeric_limits<double>::infinity()), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(dispatchDelta(1e300), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(dispatchDelta(std::nan("")), 0);
  EXPECT_EQ(dispatchDelta(-1), 0);
  EXPECT_EQ(dispatchDelta(1.5), 1'500'000'000);
}
