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

// A stage that notes when it is asked for input.
class ProbeFilter : public ALKQueueFilter {
 public:
  ProbeFilter(Passkey key, std::shared_ptr<IALKQueue> input, std::shared_ptr<IALKQueue> output, std::string name,
              std::vector<std::string>& asked)
      : ALKQueueFilter(key, std::move(input), std::move(output), true, nullptr, nullptr, nullptr),
        name_(std::move(name)),
        asked_(asked) {}
  bool hasInputObjectsAvailable() const override {
    asked_.push_back(name_);
    return ALKQueueFilter::hasInputObjectsAvailable();
  }

 private:
  std::string name_;
  std::vector<std::string>& asked_;
};

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

TEST(ALKTrackerTest, LogsWhatItReceivesThroughTheDefaultPipeline) {
  RecordingLoggerScope recorder;
  auto tracker = std::make_shared<ALKTracker>();
  const auto activity = activityOfType("event");
  activity->setTimestamp(5.0);
  const double before = ALKActivity::currentTimestamp();
  tracker->sendActivity(activity);

  // A stamped copy is queued; the caller's activity is left as it was.
  const auto queued = activityAt(tracker, 0);
  EXPECT_NE(queued, activity);
  EXPECT_GE(queued->timestamp(), before);
  EXPECT_EQ(activity->timestamp(), 5.0);
  ASSERT_TRUE(pumpUntil([&] { return tracker->activityQueue()->isEmpty(); }));
  EXPECT_TRUE(recorder->contains("Consumed activity <ALKActivity: "));
}

TEST(ALKTrackerTest, MarksTheNextActivitySentNotTheHead) {
  auto tracker = heldTracker();
  tracker->sendActivity(activityOfType("a"));
  tracker->resetSessionImmediately(true);
  tracker->sendActivity(activityOfType("b"));
  tracker->resetSessionImmediately(false);
  tracker->sendActivity(activityOfType("c"));
  tracker->sendActivity(activityOfType("d"));
  std::vector<platform::Value> marks;
  for (std::size_t i = 0; i < 4; ++i) marks.push_back(activityAt(tracker, i)->valueForProperty(ALKTracker::kSessionControlKey));
  EXPECT_EQ(marks, (std::vector<platform::Value>{nullptr, ALKSessionControlStart, ALKSessionControlEnd, nullptr}));
  EXPECT_EQ(tracker->sessionRequest(), ALKTracker::SessionRequest::None);
}

TEST(ALKTrackerTest, BoundsItsQueueByTheConfiguredLimit) {
  auto tracker = heldTracker();
  tracker->config()->setQueueLimit(5);
  tracker->resetSessionImmediately(true);
  for (int i = 0; i < 5; ++i) tracker->sendActivity(activityOfType("a"));
  tracker->resetSessionImmediately(true);
  tracker->sendActivity(activityOfType("dropped"));
  EXPECT_EQ(tracker->activityQueue()->count(), 5u);
  EXPECT_EQ(tracker->activityQueue()->capacity(), 5u);
  // A request that found no room waits for the next activity.
  EXPECT_EQ(tracker->sessionRequest(), ALKTracker::SessionRequest::Start);
}

TEST(ALKTrackerTest, GivesEachStageTheBackEndSettingsAndItsConfigurationOnce) {
  std::shared_ptr<ALKQueueFilter> stage;
  std::vector<platform::Value> configs;
  int updates = 0;
  RegistryEntryScope<ALKTracker::PipelineTemplate> pipelineEntry("probeActivityPipeline", [&](ALKTracker&) {
    stage = ALKQueueFilter::consumerQueueFilterWithInputQueue(ALKQueue::queue(), true, nullptr, nullptr);
    stage->setCompletionBlock([&](ALKQueueFilter& filter, const ObjectPtr&, const platform::ErrorPtr&) {
      configs.push_back(filter.propertyForKey(ALKQueueFilter::kConfigKey));
    });
    return ALKPipeline::pipelineWithFilters({stage});
  });
  RegistryEntryScope<ALKTracker::FilterUpdate> updateEntry("probeUpdateFilter:",
                                                           [&](ALKTracker&, ALKQueueFilter& filter) {
                                                             ++updates;
                                                             EXPECT_EQ(&filter, stage.get());
                                                           });
  auto tracker = trackerOfType("Probe");
  tracker->config()->setTrackingId("UA-1");
  tracker->sendActivity(activityOfType("a"));
  ASSERT_TRUE(pumpUntil([&] { return configs.size() == 1; }));
  tracker->config()->setTrackingId("UA-2");
  tracker->sendActivity(activityOfType("b"));
  ASSERT_TRUE(pumpUntil([&] { return configs.size() == 2; }));

  EXPECT_EQ(updates, 2);
  const auto config = configs[0].objectAs<ALKConfig>();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->trackingId(), "UA-1");
  EXPECT_EQ(configs[1].object(), configs[0].object());  // kept, not refreshed
}

TEST(ALKTrackerTest, AsksProducersLastAndBuildsNoPipelineToAnswer) {
  RecordingLoggerScope recorder;
  std::vector<std::string> asked;
  RegistryEntryScope<ALKTracker::PipelineTemplate> entry("probeActivityPipeline", [&](ALKTracker&) {
    auto link = ALKQueue::queue();
    return ALKPipeline::pipelineWithFilters({ALKQueueFilter::make<ProbeFilter>(nullptr, link, "producer", asked),
                                             ALKQueueFilter::make<ProbeFilter>(link, nullptr, "consumer", asked)});
  });
  auto tracker = trackerOfType("Probe");
  EXPECT_FALSE(tracker->hasPendingActivities());
  EXPECT_TRUE(asked.empty());
  ASSERT_TRUE(tracker->pipeline());
  tracker->pipeline()->setSuspended(true);
  EXPECT_FALSE(tracker->hasPendingActivities());
  EXPECT_EQ(asked, (std::vector<std::string>{"consumer", "producer"}));
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
