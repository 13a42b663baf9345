#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ALKQueue.h"
#include "ALKTracker.h"
#include "EngineTestSupport.h"
#include "RecordingLogger.h"
#include "TemporaryDirectory.h"

using platform::ObjectPtr;

namespace {

// A tracker whose configuration names `type`.
std::shared_ptr<ALKTracker> trackerOfType(const std::string& type) {
  auto tracker = std::make_shared<ALKTracker>();
  tracker->config()->setAnalyticsType(type);
  return tracker;
}

// A tracker on the default pipeline, held still (suspended).
std::shared_ptr<ALKTracker> heldTracker() {
  auto tracker = std::make_shared<ALKTracker>();
  tracker->pipeline()->setSuspended(true);
  return tracker;
}

std::shared_ptr<ALKActivity> activityAt(const std::shared_ptr<ALKTracker>& tracker, std::size_t index) {
  const auto objects = std::static_pointer_cast<ALKQueue>(tracker->activityQueue())->objects();
  return std::static_pointer_cast<ALKActivity>(objects->at(index));
}

}  // namespace

TEST(ALKTrackerTest, QueuesAStampedCopyThatTheDefaultPipelineLogs) {
  RecordingLoggerScope recorder;
  auto tracker = std::make_shared<ALKTracker>();
  const auto activity = activityOfType("event");
  activity->setTimestamp(5.0);
  tracker->sendActivity(activity);
  const auto queued = activityAt(tracker, 0);
  EXPECT_NE(queued, activity);
  EXPECT_GT(queued->timestamp(), 7e8);  // now, after 2023
  EXPECT_EQ(activity->timestamp(), 5.0);
  ASSERT_TRUE(pumpUntil([&] { return tracker->activityQueue()->isEmpty(); }));
  EXPECT_TRUE(recorder->contains("Consumed activity <ALKActivity: "));
}

TEST(ALKTrackerTest, MarksTheNextActivitySentThatFindsRoomNotTheHead) {
  auto tracker = heldTracker();
  tracker->config()->setQueueLimit(4);
  tracker->sendActivity(activityOfType("a"));
  tracker->resetSessionImmediately(true);
  tracker->sendActivity(activityOfType("b"));
  tracker->resetSessionImmediately(false);
  tracker->sendActivity(activityOfType("c"));
  tracker->sendActivity(activityOfType("d"));
  std::vector<platform::Value> marks;
  for (std::size_t i = 0; i < 4; ++i) marks.push_back(activityAt(tracker, i)->valueForProperty(ALKTracker::kSessionControlKey));
  EXPECT_EQ(marks, (std::vector<platform::Value>{nullptr, ALKSessionControlStart, ALKSessionControlEnd, nullptr}));
  // A full queue drops the activity; the request waits for one that fits.
  tracker->resetSessionImmediately(true);
  tracker->sendActivity(activityOfType("dropped"));
  EXPECT_EQ(tracker->activityQueue()->count(), 4u);
  EXPECT_EQ(tracker->sessionRequest(), ALKTracker::SessionRequest::Start);
}

TEST(ALKTrackerTest, GivesEachStageTheBackEndSettingsAndItsConfigurationOnce) {
  std::shared_ptr<ALKQueueFilter> stage;
  std::vector<platform::Value> configs;
  std::size_t updates = 0;
  RegistryEntryScope<ALKTracker::PipelineTemplate> pipelineEntry("probeActivityPipeline", [&](ALKTracker&) {
    stage = ALKQueueFilter::consumerQueueFilterWithInputQueue(ALKQueue::queue(), true, nullptr, nullptr);
    stage->setCompletionBlock([&](ALKQueueFilter& filter, const ObjectPtr&, const platform::ErrorPtr&) {
      configs.push_back(filter.propertyForKey(ALKQueueFilter::kConfigKey));
    });
    return ALKPipeline::pipelineWithFilters({stage});
  });
  RegistryEntryScope<ALKTracker::FilterUpdate> updateEntry("probeUpdateFilter:", [&](ALKTracker&, ALKQueueFilter&) { ++updates; });
  auto tracker = trackerOfType("Probe");
  for (const char* id : {"UA-1", "UA-2"}) {
    tracker->config()->setTrackingId(id);
    tracker->sendActivity(activityOfType("a"));
    ASSERT_TRUE(pumpUntil([&] { return configs.size() == updates; }));
  }
  EXPECT_EQ(updates, 2u);
  EXPECT_EQ(configs[0].objectAs<ALKConfig>()->trackingId(), "UA-1");
  EXPECT_EQ(configs[1].object(), configs[0].object());  // kept, not refreshed
  EXPECT_EQ(stage->properties()->count(), 1u);
}

TEST(ALKTrackerTest, RefusesAPipelineWhoseFirstStageIsInactive) {
  RecordingLoggerScope recorder;
  RegistryEntryScope<ALKTracker::PipelineTemplate> entry("probeActivityPipeline", [](ALKTracker&) {
    return ALKPipeline::pipelineWithFilters(
        {ALKQueueFilter::consumerQueueFilterWithInputQueue(ALKQueue::queue(), false, nullptr, nullptr)});
  });
  auto tracker = trackerOfType("Probe");
  tracker->sendActivity(activityOfType("a"));  // into nothing, safely
  tracker->dispatch();
  EXPECT_EQ(tracker->pipeline(), nullptr);
  EXPECT_EQ(recorder->count("<ERROR> [ALKTracker("), 4u);  // tried again at every use
}

TEST(ALKTrackerTest, RemovingPendingActivitiesDeletesTheStoreAndItsJournals) {
  TemporaryDirectory directory;
  const std::string store = directory.file("VededuvazOvi-Test-UA-1.sqlite");
  for (const char* suffix : {"", "-wal", "-shm"}) std::ofstream(store + suffix) << "rows";
  auto tracker = heldTracker();
  tracker->config()->setPendingRequestsURL(platform::Url::fileUrl(store));
  tracker->sendActivity(activityOfType("a"));
  const auto before = tracker->pipeline();
  tracker->removePendingActivities();
  for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_FALSE(std::filesystem::exists(store + suffix)) << suffix;
  EXPECT_TRUE(before->firstFilter()->isClosed());
  EXPECT_NE(tracker->pipeline(), before);  // a new one on the next use
}

TEST(ALKTrackerTest, AClosedTrackerBuildsAndCreatesNothingAgain) {
  auto tracker = heldTracker();
  const auto pipeline = tracker->pipeline();
  tracker->close();
  EXPECT_TRUE(pipeline->firstFilter()->isClosed());
  EXPECT_EQ(tracker->pipeline(), nullptr);
  EXPECT_EQ(tracker->config(), nullptr);

  // Destroying a tracker closes it.
  RecordingLoggerScope recorder;
  std::make_shared<ALKTracker>()->config();
  EXPECT_TRUE(recorder->contains("Close"));
  EXPECT_TRUE(recorder->contains("Reset config"));
}
