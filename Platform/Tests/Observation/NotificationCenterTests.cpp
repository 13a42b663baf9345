#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "Observation/NotificationCenter.h"

using namespace platform;

namespace {

// Waits at most ten seconds for `condition`; a verdict never depends on timing.
bool waitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace

TEST(NotificationCenterTest, FiltersByNameAndSender) {
  auto& center = NotificationCenter::defaultCenter();
  int printer = 0, scanner = 0;
  std::vector<std::string> fromPrinter, named;
  auto anyName = center.addObserver("", &printer, [&](const Notification& n) {
    EXPECT_EQ(n.sender, &printer);
    fromPrinter.push_back(n.name);
  });
  auto anySender = center.addObserver("NotificationCenterTest.Ready", nullptr, [&](const Notification& n) {
    named.push_back(n.userInfo.objectForKey("state").stringValue());
  });

  center.post("NotificationCenterTest.Ready", &printer, {{"state", "idle"}});
  center.post("NotificationCenterTest.Ready", &scanner, {{"state", "busy"}});
  center.post("NotificationCenterTest.Gone", &printer);
  center.post("NotificationCenterTest.Gone", &scanner);

  EXPECT_EQ(fromPrinter, (std::vector<std::string>{"NotificationCenterTest.Ready", "NotificationCenterTest.Gone"}));
  EXPECT_EQ(named, (std::vector<std::string>{"idle", "busy"}));
}

TEST(NotificationCenterTest, NoCallReachesAnObserverOnceCancelHasReturned) {
  auto& center = NotificationCenter::defaultCenter();
  const std::string name = "NotificationCenterTest.Race";
  for (int round = 0; round < 50; ++round) {
    std::atomic<bool> cancelReturned{false}, lateCall{false}, stop{false};
    std::atomic<int> calls{0};
    std::atomic<long> posts{0};
    ObservationToken token = center.addObserver(name, nullptr, [&](const Notification&) {
      if (cancelReturned) lateCall = true;
      ++calls;
      std::this_thread::yield();  // a wider window for a cancel() that would not wait
      if (cancelReturned) lateCall = true;  // still running when cancel() returned
    });
    std::thread poster([&] {
      while (!stop) {
        center.post(name, nullptr);
        ++posts;
      }
    });
    const bool called = waitUntil([&] { return calls > 0; });
    token.cancel();
    cancelReturned = true;
    const long postsAtCancel = posts;
    const bool postedOn = waitUntil([&] { return posts > postsAtCancel + 100; });
    stop = true;
    poster.join();
    ASSERT_TRUE(called && postedOn);
    ASSERT_FALSE(lateCall) << "round " << round;
  }
}

TEST(NotificationCenterTest, AnObserverMayCancelItselfInsideItsBlock) {
  auto& center = NotificationCenter::defaultCenter();
  const std::string name = "NotificationCenterTest.Once";
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> watch = captured;
  ObservationToken token;
  token = center.addObserver(name, nullptr, [&token, captured](const Notification&) {
    ++*captured;
    token.cancel();
    EXPECT_EQ(*captured, 1);  // the block's captures stay valid until it returns
  });
  captured.reset();
  center.post(name, nullptr);
  center.post(name, nullptr);
  EXPECT_FALSE(token.isActive());
  // The block and what it captured went away once its call returned.
  EXPECT_TRUE(watch.expired());
}

TEST(NotificationCenterTest, AnObserverMayPostAndAddObserversInsideItsBlock) {
  auto& center = NotificationCenter::defaultCenter();
  const std::string outer = "NotificationCenterTest.Outer", inner = "NotificationCenterTest.Inner";
  std::vector<std::string> calls;
  ObservationToken added;
  auto innerObserver = center.addObserver(inner, nullptr, [&](const Notification&) { calls.push_back("inner"); });
  auto outerObserver = center.addObserver(outer, nullptr, [&](const Notification&) {
    calls.push_back("outer");
    if (!added.isActive()) {
      added = center.addObserver(outer, nullptr, [&](const Notification&) { calls.push_back("added"); });
    }
    center.post(inner, nullptr);
  });

  center.post(outer, nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner"}));
  calls.clear();
  center.post(outer, nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner", "added"}));
}
