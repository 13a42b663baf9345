#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

#include "ALKErrors.h"
#include "ALKQueue.h"
#include "ALKQueueFilter.h"
#include "EngineTestSupport.h"
#include "RecordingLogger.h"

using platform::DispatchQueue;
using platform::ErrorPtr;
using platform::ObjectPtr;

namespace {

struct Completion {
  ObjectPtr output;
  ErrorPtr error;
  bool onMainThread;
};

// Two queues and what a stage between them reported.
struct Harness {
  std::shared_ptr<ALKQueue> input = ALKQueue::queue();
  std::shared_ptr<ALKQueue> output = ALKQueue::queue();
  std::vector<Completion> completions;

  IALKQueueFilter::CompletionBlock recorder() {
    return [this](ALKQueueFilter&, const ObjectPtr& result, const ErrorPtr& error) {
      completions.push_back({result, error, DispatchQueue::isMainThread()});
    };
  }
  // A stage whose runs call `block`, reporting here.
  std::shared_ptr<ALKQueueFilter> stage(bool active, ALKQueueFilter::ExecutionBlock block,
                                        std::shared_ptr<DispatchQueue> queue = nullptr) {
    return ALKQueueFilter::queueFilterWithInputQueue(input, output, active, std::move(queue), std::move(block),
                                                     recorder());
  }
  bool waitForCompletions(std::size_t count) {
    return pumpUntil([&] { return completions.size() >= count; });
  }
};

// An execution block that keeps each run's finish for the test to call.
struct HeldRuns {
  std::vector<std::pair<ObjectPtr, ALKQueueFilter::Finish>> runs;
  ALKQueueFilter::ExecutionBlock block() {
    return [this](ALKQueueFilter&, const ObjectPtr& object, const ALKQueueFilter::Finish& finish) {
      runs.emplace_back(object, finish);
    };
  }
};

ALKQueueFilter::ExecutionBlock passOn() {
  return [](ALKQueueFilter& filter, const ObjectPtr& object, const ALKQueueFilter::Finish& finish) {
    finish(filter, object, nullptr);
  };
}

}  // namespace

TEST(ALKQueueFilterTest, AnInactiveStageRunsOncePerWakeUpAnActiveOneGoesOn) {
  const auto a = activityOfType("a"), b = activityOfType("b"), c = activityOfType("c");
  for (const bool active : {false, true}) {
    Harness harness;
    auto stage = harness.stage(active, passOn());
    harness.input->enqueueObject(a);
    harness.input->enqueueObject(b);  // while a run is scheduled: no second wake-up
    ASSERT_TRUE(harness.waitForCompletions(active ? 2 : 1));
    drainMainRunLoop();
    EXPECT_EQ(harness.output->count(), active ? 2u : 1u);
    harness.input->enqueueObject(c);  // wakes it (again): the head goes
    ASSERT_TRUE(harness.waitForCompletions(active ? 3 : 2));
    EXPECT_EQ(harness.output->objects()->at(1), b);
    EXPECT_EQ(harness.input->delegate(), stage);  // listening again
  }
}

TEST(ALKQueueFilterTest, RunsOnItsQueueAndCompletesOnTheSchedulingThread) {
  Harness harness;
  auto storeQueue = DispatchQueue::serial("com.example.tests.stage");
  std::atomic<bool> ranOnMain{true};
  std::thread finisher;
  auto stage = harness.stage(
      false,
      [&](ALKQueueFilter& filter, const ObjectPtr& object, const ALKQueueFilter::Finish& finish) {
        ranOnMain.store(DispatchQueue::isMainThread());
        // Finishing from yet another thread is allowed.
        finisher = std::thread([&filter, object, finish] { finish(filter, object, nullptr); });
      },
      storeQueue);
  harness.input->enqueueObject(activityOfType("a"));
  ASSERT_TRUE(harness.waitForCompletions(1));
  // The completion can arrive before the execution block has stored the
  // thread: wait for the block to return before joining.
  storeQueue->sync([] {});
  finisher.join();
  EXPECT_FALSE(ranOnMain.load());
  EXPECT_TRUE(harness.completions[0].onMainThread);
  EXPECT_EQ(harness.output->count(), 1u);
}

TEST(ALKQueueFilterTest, AFailedRunKeepsItsObjectUntilALaterRunSucceeds) {
  Harness harness;
  int runs = 0;
  auto stage = harness.stage(true, [&](ALKQueueFilter& filter, const ObjectPtr& object,
                                       const ALKQueueFilter::Finish& finish) {
    finish(filter, object, ++runs == 1 ? platform::Error::make("test", 1) : nullptr);
  });
  const auto a = activityOfType("a"), b = activityOfType("b");
  harness.input->insertObjects({a, b}, platform::IndexSet{0, 1});
  ASSERT_TRUE(harness.waitForCompletions(1));
  drainMainRunLoop();
  // The default policy halts after the error: the stage waits, listening.
  EXPECT_EQ(harness.input->objects(), (std::vector<ObjectPtr>{a, b}));
  EXPECT_EQ(harness.input->delegate(), stage);
  EXPECT_TRUE(stage->isHalted());
  harness.input->enqueueObject(activityOfType("c"));  // the wake-up offers a again
  ASSERT_TRUE(harness.waitForCompletions(4));
  EXPECT_EQ(harness.output->objects()->front(), a);
  EXPECT_FALSE(stage->isHalted());

  // A policy that lets errors pass goes straight on.
  int asked = 0;
  stage->setProceedErrorHandler([&](const ErrorPtr&, bool& stop) { stop = ++asked >= 3; });
  runs = 0;
  harness.input->enqueueObject(activityOfType("x"));
  ASSERT_TRUE(harness.waitForCompletions(6));  // failed, asked, went on without a wake-up
  EXPECT_EQ(asked, 1);
}

TEST(ALKQueueFilterTest, ExceptionsBecomeErrorsAndASecondFinishIsIgnored) {
  Harness harness;
  int runs = 0;
  auto stage = harness.stage(false, [&](ALKQueueFilter& filter, const ObjectPtr& object,
                                        const ALKQueueFilter::Finish& finish) {
    if (++runs == 1) throw std::runtime_error("boom");
    if (runs == 2) throw 42;
    finish(filter, object, nullptr);
    throw std::logic_error("after finishing");
  });
  const auto a = activityOfType("a");
  harness.input->enqueueObject(a);
  for (std::size_t run = 1; run <= 3; ++run) {
    if (run > 1) stage->execute();
    ASSERT_TRUE(harness.waitForCompletions(run));
  }
  drainMainRunLoop();
  ASSERT_EQ(harness.completions.size(), 3u);
  for (const auto& [text, completion] : {std::pair{"boom", harness.completions[0]}, {"unknown exception", harness.completions[1]}}) {
    ASSERT_TRUE(completion.error);
    EXPECT_TRUE(completion.error->is(ALKErrorDomain, kALKErrorExecutionException));
    EXPECT_EQ(completion.error->userInfo().objectForKey(kALKErrorExceptionKey), platform::Value(text));
  }
  EXPECT_EQ(harness.completions[2].error, nullptr);
  EXPECT_EQ(harness.output->objects(), std::vector<ObjectPtr>{a});
}

TEST(ALKQueueFilterTest, CancellationTurnsTheRunIntoAUserCancelledError) {
  Harness harness;
  HeldRuns held;
  auto stage = harness.stage(false, held.block());
  stage->cancel();  // idle: not marked
  EXPECT_FALSE(stage->isCancelled());
  const auto a = activityOfType("a");
  harness.input->enqueueObject(a);
  ASSERT_TRUE(pumpUntil([&] { return held.runs.size() == 1; }));
  stage->cancel();
  held.runs[0].second(*stage, a, nullptr);  // a success, all the same
  // Cancelled before the run began: the block is not called.
  ASSERT_TRUE(harness.waitForCompletions(1));
  EXPECT_TRUE(stage->execute());
  stage->cancel();
  ASSERT_TRUE(harness.waitForCompletions(2));
  EXPECT_EQ(held.runs.size(), 1u);
  for (const auto& completion : harness.completions) {
    EXPECT_TRUE(completion.error->is(platform::Error::kCocoaErrorDomain, platform::Error::kUserCancelledError));
  }
  EXPECT_EQ(harness.input->peekObject(), a);
}

TEST(ALKQueueFilterTest, AClosedStageNeverRunsAndDoesNotReport) {
  Harness harness;
  HeldRuns held;
  auto stage = harness.stage(true, held.block());
  const auto a = activityOfType("a");
  harness.input->enqueueObject(a);
  ASSERT_TRUE(pumpUntil([&] { return held.runs.size() == 1; }));
  stage->close();
  held.runs[0].second(*stage, a, nullptr);
  ASSERT_TRUE(pumpUntil([&] { return !stage->isExecuting(); }));
  EXPECT_FALSE(stage->execute());
  harness.input->enqueueObject(activityOfType("b"));
  drainMainRunLoop();
  EXPECT_TRUE(harness.completions.empty());
  EXPECT_EQ(held.runs.size(), 1u);
  EXPECT_EQ(harness.input->count(), 2u);
}

TEST(ALKQueueFilterTest, ASuspendedStageIsRefusedAndAProducerAlwaysRuns) {
  Harness harness;
  auto stage = harness.stage(true, passOn());
  stage->setSuspended(true);
  harness.input->enqueueObject(activityOfType("a"));  // no wake-up while suspended
  drainMainRunLoop();
  EXPECT_FALSE(stage->execute());
  ASSERT_EQ(harness.completions.size(), 1u);
  EXPECT_TRUE(harness.completions[0].error->is(ALKErrorDomain, kALKErrorCannotExecute));
  EXPECT_EQ(harness.input->count(), 1u);

  auto produced = ALKQueue::queue();
  auto producer = ALKQueueFilter::producerQueueFilterWithOutputQueue(produced, true, nullptr, [&](const ObjectPtr& object) {
    return object ? nullptr : activityOfType("made");  // its work gets no input
  });
  EXPECT_TRUE(producer->execute());
  ASSERT_TRUE(pumpUntil([&] { return produced->count() == 1; }));
}

TEST(ALKQueueFilterTest, AWakeDuringARunRunsTheStageOnceMoreAfterIt) {
  Harness harness;
  HeldRuns held;
  const auto nothing = platform::Error::make(ALKErrorDomain, kALKErrorNothingToRead);
  // An inactive producer, as the store reader is: one run per wake-up.
  auto stage = ALKQueueFilter::make(nullptr, harness.output, false, nullptr, held.block(), harness.recorder());
  ASSERT_TRUE(stage->execute());
  ASSERT_TRUE(pumpUntil([&] { return held.runs.size() == 1; }));
  EXPECT_FALSE(stage->execute());  // busy: refused for now, twice
  EXPECT_FALSE(stage->execute());
  held.runs[0].second(*stage, nullptr, nothing);
  ASSERT_TRUE(harness.waitForCompletions(3));
  drainMainRunLoop();
  ASSERT_EQ(held.runs.size(), 2u);  // one more run for both
  const auto made = activityOfType("made");
  held.runs[1].second(*stage, made, nullptr);
  ASSERT_TRUE(harness.waitForCompletions(4));
  drainMainRunLoop();
  EXPECT_EQ(held.runs.size(), 2u);
  EXPECT_EQ(harness.output->peekObject(), made);

  // Suspended by the time the run ends: no run and nothing more reported.
  ASSERT_TRUE(stage->execute());
  ASSERT_TRUE(pumpUntil([&] { return held.runs.size() == 3; }));
  EXPECT_FALSE(stage->execute());
  stage->setSuspended(true);
  held.runs[2].second(*stage, nullptr, nothing);
  ASSERT_TRUE(harness.waitForCompletions(6));
  drainMainRunLoop();
  EXPECT_EQ(held.runs.size(), 3u);
  EXPECT_EQ(harness.completions.size(), 6u);
  EXPECT_FALSE(stage->isExecuting());
}

TEST(ALKQueueFilterTest, PacesFromTheEndOfOneRunToTheStartOfTheNext) {
  auto clock = std::make_shared<ManualClock>();
  Harness harness;
  std::vector<platform::DispatchTime> starts;
  auto stage = harness.stage(true, [&](ALKQueueFilter& filter, const ObjectPtr& object,
                                       const ALKQueueFilter::Finish& finish) {
    starts.push_back(clock->now());
    clock->advance(5);  // the run takes five seconds
    finish(filter, object, nullptr);
  });
  stage->setClock(clock);
  stage->setDequeueRate(2);
  const platform::DispatchTime t0 = clock->now();
  harness.input->insertObjects({activityOfType("a"), activityOfType("b")}, platform::IndexSet{0, 1});
  ASSERT_TRUE(harness.waitForCompletions(1));  // never ran: at once
  EXPECT_EQ(clock->nextWaitingTime(), t0 + 7'000'000'000);
  clock->advance(1.9);
  drainMainRunLoop();
  EXPECT_EQ(starts.size(), 1u);
  clock->advance(0.1);
  ASSERT_TRUE(harness.waitForCompletions(2));
  EXPECT_EQ(starts, (std::vector<platform::DispatchTime>{t0, t0 + 7'000'000'000}));

  // An unbounded rate saturates instead of wrapping round to "now".
  stage->setDequeueRate(std::numeric_limits<double>::infinity());
  EXPECT_GT(stage->nextDispatchTime(), stage->lastExecutedTime() + 1'000'000'000'000'000'000);  // centuries away
  // Before a first run, or once its time is set back to that, no pacing.
  stage->setLastExecutedTime(platform::kDispatchTimeForever);
  EXPECT_EQ(stage->nextDispatchTime(), platform::kDispatchTimeNow);
}

TEST(ALKQueueFilterTest, TestStagesFilterAndAFullOutputQueueIsReported) {
  RecordingLoggerScope recorder;
  auto input = ALKQueue::queue(), output = ALKQueue::queue();
  auto stage = ALKQueueFilter::testQueueFilterWithInputQueue(input, output, true, nullptr, [](const ObjectPtr& object) {
    return std::static_pointer_cast<ALKActivity>(object)->valueForProperty("keep").boolValue();
  });
  auto kept = activityOfType("kept");
  kept->setValue(true, "keep");
  output->setCapacity(1);
  input->insertObjects({activityOfType("dropped"), kept, kept}, platform::IndexSet{0, 1, 2});
  ASSERT_TRUE(pumpUntil([&] { return input->isEmpty(); }));
  EXPECT_EQ(output->objects(), std::vector<ObjectPtr>{kept});
  EXPECT_TRUE(recorder->contains("Output refused by the output queue"));
}
