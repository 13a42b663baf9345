#include <gtest/gtest.h>

#include "ALKGAConfig.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementConfig.h"
#include "ALKMeasurementRequestFilter.h"
#include "RecordingLogger.h"

namespace {

// A wall clock that stands still where the test puts it.
class FixedWallClock : public ALKClock {
 public:
  explicit FixedWallClock(double now) : now_(now) {}
  double currentTimestamp() const override { return now_; }

 private:
  double now_;
};

std::shared_ptr<ALKConfig> hitConfig() {
  auto config = ALKGAConfig::googleAnalyticsConfig();
  config->setTrackingId("UA-1");
  ALKMeasurementConfig(*config).setClientId("c1");
  ALKMeasurementConfig(*config).setURLStringEndPoint("http://127.0.0.1:1/collect");
  return config;
}

}  // namespace

TEST(ALKMeasurementRequestFilterTest, QueueTimeAndCacheBusterReadTheGivenClock) {
  RecordingLoggerScope recorder;
  const FixedWallClock clock(1000.0);  // 2001-01-01 00:16:40 UTC
  const auto config = hitConfig();
  std::shared_ptr<ALKActivity> actual;

  auto waited = ALKMeasurementActivity::eventActivity("c", "a", std::nullopt);
  waited->setTimestamp(1000.0 - 5.2);
  ASSERT_TRUE(ALKMeasurementRequestFilter::URLRequestForActivity(waited, config, &actual, nullptr, clock));
  EXPECT_EQ(ALKMeasurementActivity(*actual).queueTime(), 5200u);
  EXPECT_EQ(ALKMeasurementActivity(*actual).cacheBuster(), platform::Value(std::int64_t{1000000}));
  EXPECT_FALSE(recorder->contains("It seems user has changed system time"));

  // Stamped 3 s ahead of the clock: the clock was set back since.
  auto ahead = ALKMeasurementActivity::eventActivity("c", "a", std::nullopt);
  ahead->setTimestamp(1003.0);
  ASSERT_TRUE(ALKMeasurementRequestFilter::URLRequestForActivity(ahead, config, &actual, nullptr, clock));
  EXPECT_EQ(ALKMeasurementActivity(*actual).queueTime(), 3000u);
  EXPECT_EQ(recorder->count("It seems user has changed system time to 2001-01-01 00:16:40 +0000. "
                            "Adjust the queue time -3000.000000 -> 3000.000000."),
            1u);
  EXPECT_EQ(ahead->valueForProperty("queueTime"), platform::Value());  // the caller's activity is never changed
}
