#include <gtest/gtest.h>

#include <stdlib.h>

#include "ALKErrors.h"
#include "ALKGAConfig.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementConfig.h"
#include "ALKQueue.h"
#include "ALKSendMeasurementActivityFilter.h"
#include "EngineTestSupport.h"
#include "LoopbackCollector.h"
#include "RecordingLogger.h"
#include "StoreTestSupport.h"

namespace {

struct Outcome {
  platform::ObjectPtr output;
  platform::ErrorPtr error;
};

// The send stage alone, its hits going to a collector on loopback; the
// sends are started by hand, not by the stage's runs.
class SendFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("NO_PROXY", "127.0.0.1", 1);
    auto config = ALKGAConfig::googleAnalyticsConfig();
    config->setTrackingId("UA-1");
    ALKMeasurementConfig(*config).setClientId("c1");
    ALKMeasurementConfig(*config).setURLStringEndPoint(collector.endPoint());
    config->setURLConnectionTimeout(5);
    filter->setConfig(config);
  }
  void TearDown() override { drainMainRunLoop(); }

  // Starts sending `activity`; its outcomes are appended to `outcomes`.
  void send(const std::shared_ptr<ALKActivity>& activity, std::vector<Outcome>& outcomes) {
    filter->sendActivity(activity, [&outcomes](ALKQueueFilter&, const platform::ObjectPtr& output,
                                               const platform::ErrorPtr& error) {
      outcomes.push_back({output, error});
    });
  }
  static std::shared_ptr<ALKActivity> hit(const std::string& action) {
    return ALKMeasurementActivity::eventActivity("c", action, std::nullopt);
  }
  static void idle(std::chrono::milliseconds span) {
    platform::RunLoop::main().runUntil(std::chrono::steady_clock::now() + span);
  }

  RecordingLoggerScope recorder;
  LoopbackCollector collector;
  std::shared_ptr<ALKSendMeasurementActivityFilter> filter =
      ALKSendMeasurementActivityFilter::filterWithInputQueue(ALKQueue::queue(), ALKQueue::queue(), nullptr);
};

TEST_F(SendFilterTest, ACollisionLeavesTheHitInFlightToFinishOnce) {
  collector.script({.status = 200, .delay = std::chrono::milliseconds(300)});
  const auto first = hit("first");
  std::vector<Outcome> inFlight;
  std::vector<Outcome> again;
  std::vector<Outcome> other;
  send(first, inFlight);
  send(first, again);
  ASSERT_EQ(again.size(), 1u);  // at once
  EXPECT_FALSE(again[0].output);
  EXPECT_TRUE(again[0].error && again[0].error->is(ALKErrorDomain, kALKErrorCannotExecute));
  EXPECT_EQ(recorder->count("Already sending the activity. Collision."), 1u);
  EXPECT_FALSE(recorder->contains("Unexpected activity"));

  send(hit("other"), other);
  ASSERT_EQ(other.size(), 1u);
  EXPECT_TRUE(other[0].error && other[0].error->is(ALKErrorDomain, kALKErrorCannotExecute));
  EXPECT_TRUE(recorder->contains("Unexpected activity"));

  ASSERT_TRUE(pumpUntil([&] { return inFlight.size() == 1; }));
  EXPECT_FALSE(inFlight[0].error);
  EXPECT_EQ(recorder->count("Did receive response {HTTP/1.1 200}"), 1u);
  EXPECT_FALSE(filter->response()) << "forgotten with the hit";
  idle(std::chrono::milliseconds(100));
  EXPECT_EQ(inFlight.size(), 1u);
  EXPECT_EQ(collector.arrivals(), 1u);
}

TEST_F(SendFilterTest, CancelEndsTheHitInFlightAsCancelledAndNothingOfItArrivesLater) {
  // Answered only once the client has gone: the cancel always comes first.
  collector.script({.status = 200, .delay = std::chrono::minutes(1)});
  const auto activity = hit("cancelled");
  std::vector<Outcome> outcomes;
  send(activity, outcomes);
  ASSERT_TRUE(waitFor([&] { return collector.arrivals() == 1; }));
  filter->cancel();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].output, activity);  // the input, which stays at the head
  EXPECT_TRUE(outcomes[0].error && outcomes[0].error->is(platform::Error::cancelled()->domain(),
                                                          platform::Error::cancelled()->code()));
  // The connection went with the cancel: the collector answers into it at once.
  ASSERT_TRUE(waitFor([&] { return collector.count() == 1; }));
  idle(std::chrono::milliseconds(100));
  EXPECT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(recorder->contains("Did receive response"));
  EXPECT_FALSE(recorder->contains("Did dispatch activity"));

  // The stage is not spent: the next hit goes out.
  send(hit("next"), outcomes);
  ASSERT_TRUE(pumpUntil([&] { return outcomes.size() == 2; }));
  EXPECT_FALSE(outcomes[1].error);
}

}  // namespace
