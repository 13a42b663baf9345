#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "Errors/Exception.h"
#include "RecordingLogger.h"

using platform::IndexSet;

namespace {

// Records the "trackers" notices of a client.
struct TrackersWatcher {
  std::vector<IndexSet> changes;
  platform::ObservationToken token;
  explicit TrackersWatcher(ALKClient& client)
      : token(client.addObserver("trackers", [this](const std::string&, const platform::KeyValueChange& change) {
          changes.push_back(change.indexes);
        })) {}
};

}  // namespace

TEST(ALKClientTest, MakesTheDefaultTrackerForTheTrackingIdOnce) {
  ClientFixture fixture;
  auto& client = *fixture.client;
  EXPECT_EQ(client.defaultTracker(), nullptr);  // no tracking id yet: retried later
  client.setTrackingId("UA-10000000-1");
  const auto tracker = client.defaultTracker();
  ASSERT_TRUE(tracker);
  EXPECT_EQ(client.trackers(), std::vector<std::shared_ptr<ALKTracker>>{tracker});
  EXPECT_EQ(client.defaultTracker(), tracker);
  EXPECT_EQ(tracker->parentConfig(), client.config());

  EXPECT_EQ(client.trackerWithTrackingID("UA-10000000-1"), tracker);
  const auto other = client.trackerWithTrackingID("UA-2");
  EXPECT_NE(other, tracker);
  EXPECT_EQ(client.trackersCount(), 2u);
}

TEST(ALKClientTest, RefusesANilTrackerOrOneThatHasAClientWithPairedNotices) {
  ClientFixture fixture;
  auto& client = *fixture.client;
  client.config()->setAnalyticsType("Unknown");  // no factory: a nil tracker is inserted
  TrackersWatcher watcher(client);
  const auto tracker = trackerWithTrackingId("UA-1");
  client.addTracker(tracker);
  {
    RecordingAssertionHandlerScope handler;
    EXPECT_EQ(client.trackerWithTrackingID("UA-9"), nullptr);
    client.addTracker(tracker);
    EXPECT_EQ(handler.failures(), (std::vector<std::string>{"ALKClient: Invalid parameter not satisfying: aTracker != nil",
                                                            "ALKClient: Trying to insert tracker of another client."}));
  }
  EXPECT_EQ(watcher.changes, (std::vector<IndexSet>{IndexSet{0}, IndexSet{}}));
  // The default handler raises: the list is unchanged, the notices still pair up.
  RecordingLoggerScope recorder;
  EXPECT_THROW(client.addTracker(tracker), platform::Exception);
  EXPECT_EQ(recorder->indentation(), "");
  EXPECT_EQ(watcher.changes.back(), IndexSet{});
  client.insertTracker(trackerWithTrackingId("UA-3"), 7);  // past the end
  EXPECT_EQ(client.trackers(), std::vector<std::shared_ptr<ALKTracker>>{tracker});
}

TEST(ALKClientTest, RemovesTrackersInAClippedRangeAndForgetsARemovedDefault) {
  ClientFixture fixture;
  auto& client = *fixture.client;
  for (const char* id : {"UA-1", "UA-2", "UA-3"}) client.addTracker(trackerWithTrackingId(id));
  const auto first = client.trackers()[0], second = client.trackers()[1];
  client.removeTrackersInRange({1, 10});
  EXPECT_EQ(client.trackers(), std::vector<std::shared_ptr<ALKTracker>>{first});
  EXPECT_EQ(second->client(), nullptr);

  EXPECT_EQ(client.defaultTracker(), first);
  int announced = 0;
  auto token = client.addObserver("defaultTracker", [&](const std::string&, const platform::KeyValueChange&) { ++announced; });
  first->close();  // leaves its client
  EXPECT_TRUE(client.trackers().empty());
  EXPECT_EQ(announced, 1);
  EXPECT_FALSE(client.skipCreatingDefaultTracker());

  // Clearing the default by hand stops its re-creation.
  client.addTracker(trackerWithTrackingId("UA-4"));
  ASSERT_TRUE(client.defaultTracker());
  client.setDefaultTracker(nullptr);
  EXPECT_EQ(client.defaultTracker(), nullptr);
  client.setDefaultTracker(trackerWithTrackingId("UA-5"));  // of no client
  EXPECT_EQ(client.defaultTracker(), nullptr);
}

TEST(ALKClientTest, ArmsTheTimerOnlyWhilePendingActivitiesWait) {
  ClientFixture fixture;
  auto& client = *fixture.client;
  client.setTrackingId("UA-1");
  const auto tracker = client.defaultTracker();
  tracker->pipeline()->setSuspended(true);
  EXPECT_EQ(client.dispatchTimer(), nullptr);
  tracker->sendActivity(activityOfType("a"));  // pending, pipeline suspended
  const auto timer = client.dispatchTimer();
  ASSERT_TRUE(timer);
  EXPECT_EQ(timer->timeInterval(), 120.0);
  tracker->sendActivity(activityOfType("b"));
  EXPECT_EQ(client.dispatchTimer(), timer);
  client.dispatch();  // the stage runs: no timer while it is busy
  EXPECT_FALSE(timer->isValid());
  ASSERT_TRUE(pumpUntil([&] { return !tracker->hasPendingActivities(); }));
  EXPECT_EQ(client.dispatchTimer(), nullptr);
  // No timer for an interval of 0.
  client.config()->setDispatchInterval(0);
  tracker->pipeline()->setSuspended(true);
  tracker->sendActivity(activityOfType("c"));
  EXPECT_EQ(client.dispatchTimer(), nullptr);
}

TEST(ALKClientTest, TrackersAreACopySoEachMayBeClosedWhileWalkingThem) {
  ClientFixture fixture;
  auto& client = *fixture.client;
  for (int i = 0; i < 3; ++i) client.addTracker(std::make_shared<ALKTracker>());
  for (const auto& tracker : client.trackers()) tracker->close();  // each leaves the list
  EXPECT_EQ(client.trackersCount(), 0u);
}

TEST(ALKClientTest, AClosedClientStaysEmpty) {
  ClientFixture fixture;
  auto& client = *fixture.client;
  client.setTrackingId("UA-1");
  const auto tracker = client.defaultTracker();
  tracker->pipeline()->setSuspended(true);
  tracker->sendActivity(activityOfType("a"));
  client.close();
  EXPECT_TRUE(tracker->isClosed());
  EXPECT_EQ(tracker->client(), nullptr);
  EXPECT_EQ(client.config(), nullptr);
  EXPECT_EQ(client.defaultTracker(), nullptr);
  EXPECT_TRUE(client.trackers().empty());
  EXPECT_EQ(client.dispatchTimer(), nullptr);
  client.setTrackingId("UA-2");
  EXPECT_EQ(client.defaultTracker(), nullptr);
}

TEST(ALKClientTest, TheTimerDispatchesButKeepsNoDroppedClientAlive) {
  RegistryEntryScope<ALKTracker::Factory> factory{"loggingTrackerWithTrackingId:", trackerWithTrackingId};
  auto client = ALKClient::sharedClient();
  client->config()->setAnalyticsType("Logging");
  client->config()->setDispatchInterval(0.01);
  client->setTrackingId("UA-1");
  const auto tracker = client->defaultTracker();
  tracker->pipeline()->setSuspended(true);
  tracker->sendActivity(activityOfType("a"));
  ASSERT_TRUE(client->dispatchTimer());
  ASSERT_TRUE(pumpUntil([&] { return tracker->activityQueue()->isEmpty(); }));  // the timer dispatched
  // Dropping the last reference closes the client and its trackers at once.
  client->config()->setDispatchInterval(60);
  tracker->pipeline()->setSuspended(true);
  tracker->sendActivity(activityOfType("b"));
  const auto timer = client->dispatchTimer();
  ASSERT_TRUE(timer);
  client.reset();
  ALKClient::resetSharedClient();
  EXPECT_TRUE(tracker->isClosed());
  EXPECT_EQ(tracker->client(), nullptr);
  EXPECT_FALSE(timer->isValid());
}
