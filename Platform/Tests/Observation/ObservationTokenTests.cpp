#include <gtest/gtest.h>

#include "Observation/NotificationCenter.h"

using namespace platform;

TEST(ObservationTokenTest, OwnsItsObserverUntilCancelledReplacedOrDestroyed) {
  auto& center = NotificationCenter::defaultCenter();
  const std::string name = "ObservationTokenTest";
  int first = 0, second = 0;
  EXPECT_FALSE(ObservationToken().isActive());

  ObservationToken moved = center.addObserver(name, nullptr, [&](const Notification&) { ++first; });
  ObservationToken token = std::move(moved);
  center.post(name, nullptr);
  token = center.addObserver(name, nullptr, [&](const Notification&) { ++second; });  // cancels the first
  center.post(name, nullptr);
  token.cancel();
  token.cancel();
  EXPECT_FALSE(token.isActive());
  { ObservationToken scoped = center.addObserver(name, nullptr, [&](const Notification&) { ++first; }); }
  center.post(name, nullptr);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}
