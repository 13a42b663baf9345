// The engine end to end: a client, its tracker and a pipeline of stages made
// by the queue filter's factories, driven as the application drives them.
#include <gtest/gtest.h>

#include "ALKErrors.h"
#include "ALKQueue.h"
#include "EngineTestSupport.h"
#include "RecordingLogger.h"

using platform::DispatchQueue;
using platform::ErrorPtr;
using platform::ObjectPtr;

namespace {

struct Report {
  std::string stage;
  ObjectPtr output;
  ErrorPtr error;
  bool onMainThread;
};

std::string typeOf(const ObjectPtr& object) {
  return std::static_pointer_cast<ALKActivity>(object)->valueForProperty(ALKActivity::kActivityTypeKey).stringValue();
}

}  // namespace

TEST(ALKEngineTest, AThreeStagePipelineHoldsHitsUntilDispatchAndPacesTheLastStage) {
  auto clock = std::make_shared<ManualClock>();
  auto workQueue = DispatchQueue::serial("com.example.tests.engine");
  std::vector<Report> reports;
  std::shared_ptr<ALKQueueFilter> sender;
  const auto report = [&](const std::string& stage) {
    return [&reports, stage](ALKQueueFilter&, const ObjectPtr& output, const ErrorPtr& error) {
      reports.push_back({stage, output, error, DispatchQueue::isMainThread()});
    };
  };
  std::atomic<int> transformedOffMain{0};
  RegistryEntryScope<ALKTracker::PipelineTemplate> pipeline("memoryActivityPipeline", [&](ALKTracker&) {
    auto first = ALKQueue::queue(), checked = ALKQueue::queue(), outgoing = ALKQueue::queue();
    auto stamp = ALKQueueFilter::transformQueueFilterWithInputQueue(first, checked, true, workQueue, [&](const ObjectPtr& object) {
      if (!DispatchQueue::isMainThread()) ++transformedOffMain;
      auto copy = std::static_pointer_cast<ALKActivity>(object->copy());
      copy->setValue("stamped", "stage");
      return ObjectPtr(copy);
    });
    auto test = ALKQueueFilter::testQueueFilterWithInputQueue(checked, outgoing, true, nullptr, [](const ObjectPtr& object) {
      return typeOf(object) != "drop";
    });
    sender = ALKQueueFilter::consumerQueueFilterWithInputQueue(outgoing, true, nullptr, nullptr);
    for (const auto& stage : {stamp, test, sender}) stage->setClock(clock);
    stamp->setCompletionBlock(report("stamp"));
    test->setCompletionBlock(report("test"));
    sender->setCompletionBlock(report("send"));
    sender->setSuspended(true);  // until the first dispatch
    return ALKPipeline::pipelineWithFilters({stamp, test, sender});
  });
  RegistryEntryScope<ALKTracker::FilterUpdate> update("memoryUpdateFilter:", [&](ALKTracker&, ALKQueueFilter& filter) {
    if (&filter == sender.get()) filter.setDequeueRate(2);
  });

  ClientFixture engine("Memory");
  auto& client = *engine.client;
  client.setTrackingId("UA-1");
  const auto tracker = client.defaultTracker();
  for (const char* type : {"a", "drop", "b"}) tracker->sendActivity(activityOfType(type));
  const auto& outgoing = sender->inputQueue();
  ASSERT_TRUE(pumpUntil([&] { return outgoing->count() == 2 && !tracker->pipeline()->hasExecutingFilters(); }));
  EXPECT_EQ(transformedOffMain.load(), 3);
  EXPECT_TRUE(client.dispatchTimer());  // pending behind a suspended stage

  client.dispatch();
  // The first hit goes at once; the sender goes on to the next, which waits
  // for the pacing.
  ASSERT_TRUE(pumpUntil([&] { return outgoing->count() == 1 && clock->waitingCount() == 1; }));
  EXPECT_EQ(typeOf(outgoing->peekObject()), "b");
  clock->advance(1.5);
  drainMainRunLoop();
  EXPECT_EQ(outgoing->count(), 1u);
  clock->advance(0.5);
  ASSERT_TRUE(pumpUntil([&] { return !tracker->hasPendingActivities(); }));
  EXPECT_EQ(client.dispatchTimer(), nullptr);

  EXPECT_TRUE(std::ranges::all_of(reports, &Report::onMainThread));
  EXPECT_EQ(std::ranges::count_if(reports, [](const Report& r) { return r.stage == "send" && !r.error; }), 2);
  EXPECT_EQ(sender->propertyForKey(ALKQueueFilter::kConfigKey).objectAs<ALKConfig>()->trackingId(), "UA-1");
}

TEST(ALKEngineTest, AFailedOrCancelledHitStaysAtTheHeadForTheNextDispatch) {
  std::vector<Report> reports;
  std::vector<ALKQueueFilter::Finish> held;
  std::shared_ptr<ALKQueueFilter> sender;
  RegistryEntryScope<ALKTracker::PipelineTemplate> pipeline("flakyActivityPipeline", [&](ALKTracker&) {
    sender = ALKQueueFilter::queueFilterWithInputQueue(
        ALKQueue::queue(), nullptr, true, nullptr,
        [&](ALKQueueFilter&, const ObjectPtr&, const ALKQueueFilter::Finish& finish) { held.push_back(finish); },
        [&](ALKQueueFilter&, const ObjectPtr& output, const ErrorPtr& error) {
          reports.push_back({"send", output, error, true});
        });
    return ALKPipeline::pipelineWithFilters({sender});
  });
  ClientFixture engine("Flaky");
  auto& client = *engine.client;
  client.setTrackingId("UA-1");
  const auto tracker = client.defaultTracker();
  const auto hit = activityOfType("hit");
  tracker->sendActivity(hit);
  ASSERT_TRUE(pumpUntil([&] { return held.size() == 1; }));
  const auto queued = tracker->activityQueue()->peekObject();

  held[0](*sender, nullptr, platform::Error::make("transport", -1));  // fails: halts, keeps the hit
  ASSERT_TRUE(pumpUntil([&] { return reports.size() == 1; }));
  EXPECT_EQ(tracker->activityQueue()->peekObject(), queued);
  EXPECT_TRUE(client.dispatchTimer());  // pending and idle

  client.dispatch();
  ASSERT_TRUE(pumpUntil([&] { return held.size() == 2; }));
  tracker->pipeline()->cancelFilters();
  held[1](*sender, nullptr, nullptr);
  ASSERT_TRUE(pumpUntil([&] { return reports.size() == 2; }));
  EXPECT_TRUE(reports[1].error->is(platform::Error::kCocoaErrorDomain, platform::Error::kUserCancelledError));
  EXPECT_EQ(tracker->activityQueue()->peekObject(), queued);

  client.dispatch();
  ASSERT_TRUE(pumpUntil([&] { return held.size() == 3; }));
  held[2](*sender, nullptr, nullptr);
  ASSERT_TRUE(pumpUntil([&] { return tracker->activityQueue()->isEmpty(); }));
  EXPECT_EQ(reports.back().error, nullptr);
  EXPECT_EQ(client.dispatchTimer(), nullptr);
}

TEST(ALKEngineTest, OptingOutDropsActivitiesAndSkipsDispatch) {
  RecordingLoggerScope recorder;
  ClientFixture engine("Logging");
  auto& client = *engine.client;
  client.setTrackingId("UA-1");
  const auto tracker = client.defaultTracker();
  tracker->pipeline()->setSuspended(true);
  tracker->sendActivity(activityOfType("before"));
  client.setOptOut(true);
  tracker->sendActivity(activityOfType("during"));
  client.dispatch();
  EXPECT_TRUE(recorder->contains("Ignore dispatch. Opt out."));
  EXPECT_EQ(tracker->activityQueue()->count(), 1u);  // kept, not sent
  EXPECT_TRUE(tracker->pipeline()->hasSuspendedFilters());

  // A tracker that has no pipeline yet builds none while opted out.
  client.trackerWithTrackingID("UA-2")->sendActivity(activityOfType("during"));
  EXPECT_EQ(recorder->count("Create pipeline to log activities"), 1u);

  client.setOptOut(false);
  client.dispatch();
  ASSERT_TRUE(pumpUntil([&] { return tracker->activityQueue()->isEmpty(); }));
  EXPECT_EQ(recorder->count("Consumed activity"), 1u);
}
