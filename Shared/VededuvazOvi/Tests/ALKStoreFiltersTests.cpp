#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ALKErrors.h"
#include "Http/HttpMessage.h"
#include "Observation/NotificationCenter.h"
#include "RecordingLogger.h"
#include "StoreTestSupport.h"
#include "TemporaryDirectory.h"

namespace {

class StoreFiltersTest : public ::testing::Test {
 protected:
  // Queues hits stamped `timestamps` and waits until the file holds them and
  // the write stage has finished with them.
  void store(StorePipeline& stages, const std::vector<double>& timestamps) {
    const std::size_t before = rowsInFile(path).size();
    for (double timestamp : timestamps) stages.input->enqueueObject(activityStamped(timestamp));
    ASSERT_TRUE(waitFor([&] {
      return rowsInFile(path).size() == before + timestamps.size() && stages.input->isEmpty() &&
             !stages.write->isExecuting();
    }));
  }
  // Waits until the write stage has logged `line` (when one is given), its
  // run has ended and the main thread has handled what the run left.
  bool writeRunEnded(StorePipeline& stages, const std::string& line = {}) {
    if (!line.empty() && !waitFor([&] { return logger->contains(line); })) return false;
    if (!pumpUntil([&] { return !stages.write->isExecuting(); })) return false;
    drainMainRunLoop();
    return true;
  }
  bool allSent(StorePipeline& stages, std::size_t count) {
    return waitFor([&] { return stages.sent.size() >= count && rowsInFile(path).empty() && stages.queueB->isEmpty(); });
  }

  RecordingLoggerScope logger;
  TemporaryDirectory folder;
  const std::string path = folder.file("store.sqlite");
};

TEST_F(StoreFiltersTest, HitsLeaveInOrderOneAtATime) {
  StorePipeline stages(path);
  store(stages, {30.0, 10.0, 20.0});
  EXPECT_TRUE(stages.read->hasInputObjectsAvailable());
  stages.dispatch();
  ASSERT_TRUE(allSent(stages, 3));
  EXPECT_EQ(stages.sent, (std::vector<double>{10.0, 20.0, 30.0}));
  EXPECT_EQ(stages.removalsPendingAtSend, (std::vector<std::size_t>{0, 0, 0}));
  EXPECT_FALSE(stages.read->hasInputObjectsAvailable());
  stages.readOnce();
  EXPECT_TRUE(logger->contains("No activity request found."));
  store(stages, {40.0});
  EXPECT_TRUE(stages.read->hasInputObjectsAvailable()) << "the count follows the saves";
}

TEST_F(StoreFiltersTest, AFailedSendKeepsTheRowForTheNextDispatch) {
  StorePipeline stages(path);
  stages.sendError = [&](double) {
    return stages.sent.size() == 1 ? platform::Error::make(platform::Error::kURLErrorDomain, -1009) : nullptr;
  };
  store(stages, {1.0, 2.0});
  stages.dispatch();
  ASSERT_TRUE(pumpUntil([&] { return !stages.sender->isExecuting() && stages.sent.size() == 1; }));
  drainMainRunLoop();
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{1.0, 1}, {2.0, 0}}));
  stages.readOnce();
  EXPECT_TRUE(logger->contains("Ignore already read request. Wait until it is removed from the store."));

  stages.dispatch();
  ASSERT_TRUE(allSent(stages, 3));
  EXPECT_EQ(stages.sent, (std::vector<double>{1.0, 1.0, 2.0}));
}

TEST_F(StoreFiltersTest, ADispatchWhileAHitWaitsForRemovalNeverSendsItTwice) {
  StorePipeline stages(path);
  std::vector<double> timestamps;
  for (int hit = 1; hit <= 15; ++hit) timestamps.push_back(hit);
  store(stages, timestamps);
  stages.dispatch();
  stages.remove->setSuspended(true);
  for (std::size_t sent = 1; sent <= timestamps.size(); ++sent) {
    ASSERT_TRUE(pumpUntil([&] { return stages.queueB->count() == 1 && !stages.read->isExecuting(); }));
    for (int again = 0; again < 3; ++again) stages.readOnce();
    ASSERT_EQ(stages.sent.size(), sent);
    stages.remove->setSuspended(false);
    stages.remove->execute();
    ASSERT_TRUE(pumpUntil([&] { return stages.queueB->isEmpty(); }));
    stages.remove->setSuspended(true);
  }
  EXPECT_EQ(stages.sent, timestamps);
  EXPECT_TRUE(waitFor([&] { return rowsInFile(path).empty(); }));
}

TEST_F(StoreFiltersTest, ADispatchWhileTheReaderEndsAnEmptyReadReadsTheHitStoredMeanwhile) {
  StorePipeline stages(path);
  ASSERT_TRUE(stages.read->execute());
  stages.queue->sync([] {});  // found nothing; the end of the read waits for this thread
  ASSERT_TRUE(logger->contains("No activity request found."));
  stages.input->enqueueObject(activityStamped(1.0));
  stages.queue->sync([] {});  // stored
  ASSERT_TRUE(stages.read->isExecuting());
  EXPECT_FALSE(stages.read->execute());  // the dispatch reaches the reader now
  drainMainRunLoop();
  stages.queue->sync([] {});
  drainMainRunLoop();  // read again, and handed to the sender
  ASSERT_EQ(stages.sent, std::vector<double>{1.0});
  EXPECT_TRUE(allSent(stages, 1));
}

TEST_F(StoreFiltersTest, ReadRowsOfAnEarlierProcessAreSentAgainAndUnreadableRowsAreDropped) {
  {
    auto earlier = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(path));
    earlier->addRequestWithActivity(activityStamped(2.0), std::nullopt, 0.0)->setState(1);
    earlier->addRequestWithActivity(activityStamped(3.0), std::nullopt, 0.0);
    ASSERT_TRUE(earlier->save());
  }
  execInFile(path, "INSERT INTO ZACTIVITYREQUEST (ZSTATE, ZTIMESTAMP, ZACTIVITY) VALUES (0, 1.0, x'00')");
  StorePipeline stages(path);
  stages.dispatch();
  ASSERT_TRUE(allSent(stages, 2));
  EXPECT_EQ(stages.sent, (std::vector<double>{2.0, 3.0}));
  EXPECT_EQ(logger->count("Remove unreadable activity request"), 1u);
}

TEST_F(StoreFiltersTest, InputsOtherThanHitsFailAndAFailedWriteIsNotWrittenTwice) {
  StorePipeline stages(path);
  stages.input->enqueueObject(std::make_shared<platform::Error>("x", 1));
  ASSERT_TRUE(writeRunEnded(stages));
  EXPECT_EQ(stages.input->count(), 1u) << "refused input stays at the head";
  stages.input->dequeueAllObjects();

  stages.input->enqueueObject(platform::HttpMessage::makeRequest("GET", *platform::Url::fromString("http://h/collect")));
  ASSERT_TRUE(waitFor([&] { return rowsInFile(path).size() == 1; }));

  execInFile(path, "CREATE TRIGGER refuse BEFORE INSERT ON ZACTIVITYREQUEST BEGIN SELECT RAISE(ABORT, 'no'); END");
  stages.input->enqueueObject(activityStamped(5.0));
  ASSERT_TRUE(writeRunEnded(stages, "Unable to save changes: "));
  execInFile(path, "DROP TRIGGER refuse");
  stages.write->execute();
  ASSERT_TRUE(pumpUntil([&] { return stages.input->isEmpty(); }));
  EXPECT_EQ(rowsInFile(path).size(), 2u);
}

// A store that cannot be opened at first (another process holding the file,
// a folder in the way) keeps each hit at the head of the write stage until a
// later try opens it; no hit leaves the queue without its row.
TEST_F(StoreFiltersTest, HitsWaitForAStoreThatFailedToOpenAndAreStoredOnceItOpens) {
  const std::string blocked = folder.file("blocked/store.sqlite");
  std::ofstream(folder.file("blocked")) << "in the way";
  StorePipeline stages(blocked);
  const auto clock = std::make_shared<ManualClock>();
  stages.queue->sync([&] { stages.store->setClock(clock); });
  stages.input->enqueueObject(activityStamped(1.0));
  ASSERT_TRUE(writeRunEnded(stages, "Failed to add persistent store, error: "));
  EXPECT_EQ(stages.input->count(), 1u);

  std::filesystem::remove(folder.file("blocked"));
  clock->advance(1.0);
  stages.input->enqueueObject(activityStamped(2.0));
  ASSERT_TRUE(waitFor([&] { return rowsInFile(blocked).size() == 2 && stages.input->isEmpty(); }));
  EXPECT_EQ(rowsInFile(blocked), (std::vector<std::pair<double, int>>{{1.0, 0}, {2.0, 0}}));
  EXPECT_EQ(logger->count("Failed to add persistent store, error: "), 1u);
}

// A store that cannot be opened is tried again 1 s after the first failure,
// doubling, whether or not another hit comes (none does once the queue is
// full): the hit waiting is stored at the first try that opens it.
TEST_F(StoreFiltersTest, AStoreThatFailedToOpenIsTriedAgainOnItsScheduleWithoutAnotherHit) {
  const std::string blocked = folder.file("blocked/store.sqlite");
  std::ofstream(folder.file("blocked")) << "in the way";
  StorePipeline stages(blocked);
  const auto clock = std::make_shared<ManualClock>();
  stages.queue->sync([&] { stages.store->setClock(clock); });
  const auto tries = [&] { return logger->count("Failed to add persistent store, error: "); };
  stages.input->enqueueObject(activityStamped(1.0));
  ASSERT_TRUE(writeRunEnded(stages, "Failed to add persistent store, error: "));
  for (const double interval : {1.0, 2.0, 4.0, 8.0}) {
    const std::size_t before = tries();
    clock->advance(interval - 0.001);
    platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
    ASSERT_TRUE(writeRunEnded(stages));
    EXPECT_EQ(tries(), before) << "too early after " << interval;
    clock->advance(0.001);
    ASSERT_TRUE(waitFor([&] { return tries() == before + 1; })) << "not tried after " << interval;
    ASSERT_TRUE(writeRunEnded(stages));
  }
  std::filesystem::remove(folder.file("blocked"));
  clock->advance(16.0);
  ASSERT_TRUE(waitFor([&] { return rowsInFile(blocked).size() == 1 && stages.input->isEmpty(); }));
}

// A removal that could not be saved is tried again on the store's schedule,
// as a write is: the row of a hit already sent does not wait for the next
// dispatch, and on a full disk the removals that give room back go on.
TEST_F(StoreFiltersTest, ARemovalThatFailedToSaveIsTriedAgainOnTheStoresSchedule) {
  StorePipeline stages(path);
  const auto clock = std::make_shared<ManualClock>();
  stages.queue->sync([&] { stages.store->setClock(clock); });
  store(stages, {1.0});
  stages.sendError = [&](double) {
    execInFile(path, "CREATE TRIGGER refuse BEFORE DELETE ON ZACTIVITYREQUEST BEGIN SELECT RAISE(ABORT, 'no'); END");
    return platform::ErrorPtr();
  };
  stages.dispatch();
  ASSERT_TRUE(waitFor([&] { return logger->contains("Unable to save changes: "); }));
  ASSERT_TRUE(pumpUntil([&] { return !stages.remove->isExecuting(); }));
  execInFile(path, "DROP TRIGGER refuse");
  clock->advance(1.0);
  EXPECT_TRUE(waitFor([&] { return rowsInFile(path).empty() && stages.queueB->isEmpty(); }));
  EXPECT_EQ(stages.sent, std::vector<double>{1.0});
}

// Hits that never reached the file go with the process: closing says how
// many, once.
TEST_F(StoreFiltersTest, ClosingWithHitsNeverStoredSaysHowMany) {
  std::ofstream(folder.file("blocked")) << "in the way";
  StorePipeline stages(folder.file("blocked/store.sqlite"));
  for (double timestamp : {1.0, 2.0, 3.0}) stages.input->enqueueObject(activityStamped(timestamp));
  ASSERT_TRUE(writeRunEnded(stages, "Failed to add persistent store, error: "));
  stages.pipeline->close();
  stages.pipeline->close();
  EXPECT_EQ(logger->count("never stored"), 1u);
  EXPECT_EQ(logger->count("<WARNING> [ALKWriteActivityRequestFilter("), 1u);
  EXPECT_TRUE(logger->contains("Closed with 3 hits never stored"));
}

// A hit that can never be archived is dropped: kept, it would hold up every
// hit behind it for good.
TEST_F(StoreFiltersTest, AHitThatCannotBeArchivedDoesNotHoldUpTheHitsBehindIt) {
  StorePipeline stages(path);
  stages.input->enqueueObject(unarchivableActivityStamped(1.0));
  stages.input->enqueueObject(activityStamped(2.0));
  ASSERT_TRUE(waitFor([&] { return rowsInFile(path).size() == 1 && stages.input->isEmpty(); }));
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{2.0, 0}}));
  EXPECT_TRUE(logger->contains("Unable to add new activity request."));
}

TEST_F(StoreFiltersTest, AWriteWhoseCountFailsKeepsTheHitForTheNextRun) {
  StorePipeline stages(path);
  stages.queue->async([&] { stages.store->setCapacity(5); });  // the store belongs to its queue
  store(stages, {1.0});
  execInFile(path, "ALTER TABLE ZACTIVITYREQUEST RENAME TO ZHELD");
  stages.input->enqueueObject(activityStamped(2.0));
  ASSERT_TRUE(writeRunEnded(stages, "Failed to execute fetch requests."));
  EXPECT_EQ(stages.input->count(), 1u) << "not dropped as if the store were full";
  EXPECT_FALSE(logger->contains("Exceeded capacity"));

  execInFile(path, "ALTER TABLE ZHELD RENAME TO ZACTIVITYREQUEST");
  stages.write->execute();
  ASSERT_TRUE(waitFor([&] { return stages.input->isEmpty() && rowsInFile(path).size() == 2; }));
}

TEST_F(StoreFiltersTest, AClosedReadFilterIsNoLongerWokenByRemovals) {
  StorePipeline stages(path);
  store(stages, {1.0, 2.0});
  stages.sender->setSuspended(true);  // the hit read waits in A
  stages.readOnce();
  ASSERT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{1.0, 1}, {2.0, 0}}));
  stages.read->close();
  EXPECT_FALSE(stages.read->activityStoreDidRemoveBlock());
  logger->clear();
  stages.queueB->enqueueObject(activityStamped(1.0));  // the read row goes
  ASSERT_TRUE(waitFor([&] { return rowsInFile(path).size() == 1; }));
  drainMainRunLoop();
  EXPECT_FALSE(logger->contains("Read object has been deleted"));
  EXPECT_FALSE(logger->contains("Detected changes in the store"));
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{2.0, 0}}));
}

TEST_F(StoreFiltersTest, TheAvailabilityAnswerIsExactAfterConcurrentSaves) {
  const auto store = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(path));
  const auto queue = platform::DispatchQueue::serial("com.ZidodidurEro.activityStoreFilter");
  // An observer ahead of the read filter's widens the time between a save's
  // commit and the filter hearing of it.
  const auto slow = platform::NotificationCenter::defaultCenter().addObserver(
      ALKActivityStoreDidSaveNotification, store.get(),
      [](const platform::Notification&) { std::this_thread::sleep_for(std::chrono::microseconds(500)); });
  for (int round = 0; round < 24; ++round) {
    const auto read = ALKReadActivityRequestFilter::filterWithActivityStore(store, ALKQueue::queue(), queue);
    std::atomic<bool> saving = true;
    // Rounds end with the file empty and with one row in turn.
    queue->async([&, round] {
      for (int save = 0; save < 6; ++save) {
        if (const auto row = store->earliestActivityRequest()) {
          store->removeActivityRequest(row);
        } else {
          store->addRequestWithActivity(activityStamped(round * 10 + save + 1), std::nullopt, 0.0);
        }
        store->save();
      }
      if (round % 2 == 0 && !store->earliestActivityRequest()) {
        store->addRequestWithActivity(activityStamped(round * 10 + 9), std::nullopt, 0.0);
        store->save();
      } else if (round % 2 == 1 && store->earliestActivityRequest()) {
        store->removeActivityRequest(store->earliestActivityRequest());
        store->save();
      }
      saving = false;
    });
    while (saving) read->hasInputObjectsAvailable();
    queue->sync([] {});
    ASSERT_EQ(read->hasInputObjectsAvailable(), !rowsInFile(path).empty()) << "round " << round;
  }
}

}  // namespace
