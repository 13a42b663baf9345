// The engine end to end: a client, its tracker and a pipeline of stages made
// by the queue filter's factories, driven as the application drives them.
#include <gtest/gtest.h>

#include "ALKErrors.h"
#include "ALKQueue.h"
#include "EngineTestSupport.h"
#include "RecordingLogger.h"

using platform::ErrorPtr;
using platform::ObjectPtr;

TEST(ALKEngineTest, AFailedOrCancelledHitStaysAtTheHeadForTheNextDispatch) {
  std::vector<ErrorPtr> reports;
  std::vector<ALKQueueFilter::Finish> held;
  std::shared_ptr<ALKQueueFilter> sender;
  RegistryEntryScope<ALKTracker::PipelineTemplate> pipeline("flakyActivityPipeline", [&](ALKTracker&) {
    sender = ALKQueueFilter::queueFilterWithInputQueue(
        ALKQueue::queue(), nullptr, true, nullptr,
        [&](ALKQueueFilter&, const ObjectPtr&, const ALKQueueFilter::Finish& finish) { held.push_back(finish); },
        [&](ALKQueueFilter&, const ObjectPtr&, const ErrorPtr& error) { reports.push_back(error); });
    return ALKPipeline::pipelineWithFilters({sender});
  });
  ClientFixture engine("Flaky");
  auto& client = *engine.client;
  client.setTrackingId("UA-1");
  const auto tracker = client.defaultTracker();
  tracker->sendActivity(activityOfType("hit"));
  const auto queued = tracker->activityQueue()->peekObject();
  // A failure halts the stage, a cancellation ends the run: the hit stays
  // until a dispatch sends it.
  for (std::size_t run = 0; run < 3; ++run) {
    if (run > 0) client.dispatch();
    ASSERT_TRUE(pumpUntil([&] { return held.size() == run + 1; }));
    if (run == 1) tracker->pipeline()->cancelFilters();
    held[run](*sender, nullptr, run == 0 ? platform::Error::make("transport", -1) : nullptr);
    ASSERT_TRUE(pumpUntil([&] { return reports.size() == run + 1; }));
    if (run < 2) {
      EXPECT_EQ(tracker->activityQueue()->peekObject(), queued);
    }
    if (run == 0) {
      EXPECT_TRUE(client.dispatchTimer());  // pending and idle
    }
  }
  EXPECT_TRUE(reports[1]->is(platform::Error::kCocoaErrorDomain, platform::Error::kUserCancelledError));
  EXPECT_EQ(reports[2], nullptr);
  EXPECT_TRUE(tracker->activityQueue()->isEmpty());
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
