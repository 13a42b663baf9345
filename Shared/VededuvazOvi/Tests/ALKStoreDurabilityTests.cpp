#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

#include "ChildProcess.h"
#include "FailingReads.h"
#include "KillAtNameChange.h"
#include "RecordingLogger.h"
#include "SmallDisk.h"
#include "StoreTestSupport.h"
#include "TemporaryDirectory.h"

namespace {

constexpr int kHits = 12;

// The child: stores kHits hits in the file named by the environment and, in
// "reading" mode, dispatches with a sender that never finishes, so that the
// first row stays read. Then it waits to be killed.
TEST(StoreDurabilityChild, DISABLED_StoresHitsUntilKilled) {
  const char* path = std::getenv("ALK_TEST_STORE");
  const char* mode = std::getenv("ALK_TEST_MODE");
  ASSERT_TRUE(path && mode);
  StorePipeline stages(path);
  stages.holdSends = true;
  for (int hit = 1; hit <= kHits; ++hit) stages.input->enqueueObject(activityStamped(hit));
  if (std::string(mode) == "reading") {
    pumpUntil([&] { return stages.input->isEmpty(); });
    stages.dispatch();
  }
  for (;;) platform::RunLoop::main().runOnce(true);
}

// The child of the race: says it is ready, waits for the word, then opens the
// store and saves one hit stamped ALK_TEST_STAMP.
TEST(StoreDurabilityChild, DISABLED_SavesOneHitAtTheWord) {
  const char* path = std::getenv("ALK_TEST_STORE");
  const char* stamp = std::getenv("ALK_TEST_STAMP");
  const char* word = std::getenv("ALK_TEST_GO");
  ASSERT_TRUE(path && stamp && word);
  std::ofstream(std::string(word) + ".ready-" + stamp).close();
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(word); }));
  auto store = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(path));
  ASSERT_TRUE(store->addRequestWithActivity(activityStamped(std::atof(stamp)), std::nullopt, 0.0));
  ASSERT_TRUE(store->save());
}

// The child of the cut set aside: opens the store named by the environment,
// whose file is corrupt, and is killed at its ALK_TEST_KILL_AT-th change of a
// file name; exits with 77 where it cannot be watched.
TEST(StoreDurabilityChild, DISABLED_SetsAsideUntilKilled) {
  const char* path = std::getenv("ALK_TEST_STORE");
  const char* killAt = std::getenv("ALK_TEST_KILL_AT");
  ASSERT_TRUE(path && killAt);
  auto store = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(path));
  const KillAtNameChange kill(std::atoi(killAt));
  if (!kill.isWatching()) std::_Exit(77);
  EXPECT_NE(store->context(), nullptr);
}

// The child of the read-only file, run as another user than root when the
// tests run as root: a store file of three hits made read-only (as a backup
// restores it), ten new hits, then the file made writable again.
TEST(StoreDurabilityChild, DISABLED_StoresOnceTheFileIsWritable) {
  const char* path = std::getenv("ALK_TEST_STORE");
  ASSERT_TRUE(path);
  if (const char* user = std::getenv("ALK_TEST_USER")) {
    const passwd* account = ::getpwnam(user);
    ASSERT_TRUE(account);
    ASSERT_EQ(::setgroups(0, nullptr), 0);
    ASSERT_EQ(::setgid(account->pw_gid), 0);
    ASSERT_EQ(::setuid(account->pw_uid), 0);
    ::prctl(PR_SET_DUMPABLE, 1);  // the sanitizers read /proc/self
  }
  ASSERT_NE(::geteuid(), 0u);
  {
    auto earlier = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(path));
    for (double timestamp : {1.0, 2.0, 3.0}) earlier->addRequestWithActivity(activityStamped(timestamp), std::nullopt, 0.0);
    ASSERT_TRUE(earlier->save());
  }
  ASSERT_EQ(::chmod(path, 0444), 0);
  RecordingLoggerScope logger;
  StorePipeline stages(path);
  std::vector<double> every = {1.0, 2.0, 3.0};
  for (int hit = 11; hit <= 20; ++hit) {
    stages.input->enqueueObject(activityStamped(hit));
    every.push_back(hit);
  }
  ASSERT_TRUE(waitFor([&] { return logger->contains("Failed to add persistent store, error: "); }));
  for (const char* suffix : {"-wal", "-shm"}) EXPECT_FALSE(std::filesystem::exists(path + std::string(suffix)));
  EXPECT_EQ(stages.input->count(), 10u);
  ASSERT_EQ(::chmod(path, 0644), 0);
  ASSERT_TRUE(waitFor([&] { return stages.input->isEmpty() && rowsInFile(path).size() == every.size(); }));
  stages.dispatch();
  ASSERT_TRUE(waitFor([&] { return stages.sent.size() >= every.size() && rowsInFile(path).empty(); }));
  EXPECT_EQ(stages.sent, every);
  for (const char* suffix : {"-wal", "-shm"}) {
    struct stat status {};
    if (::stat((path + std::string(suffix)).c_str(), &status) == 0) {
      EXPECT_EQ(status.st_mode & 07777, 0600u) << suffix;
    }
  }
}

class StoreDurabilityTest : public ::testing::Test {
 protected:
  // Runs the child until the file satisfies `killWhen`, kills it, then sends
  // every row through a fresh pipeline on the same file.
  std::vector<double> killChildThenSend(const char* mode,
                                        const std::function<bool(const std::vector<std::pair<double, int>>&)>& killWhen) {
    const pid_t child = spawnTestChild("StoreDurabilityChild.DISABLED_StoresHitsUntilKilled",
                                       {"ALK_TEST_STORE=" + path, std::string("ALK_TEST_MODE=") + mode});
    EXPECT_GT(child, 0);
    if (child <= 0) return {};
    EXPECT_TRUE(waitFor([&] { return killWhen(rowsInFile(path)); }));
    ::kill(child, SIGKILL);
    const int status = waitForChild(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    StorePipeline stages(path);
    stages.dispatch();
    EXPECT_TRUE(waitFor([&] { return stages.sent.size() >= kHits && rowsInFile(path).empty(); }));
    return stages.sent;
  }

  TemporaryDirectory folder;
  const std::string path = folder.file("store.sqlite");
  const std::vector<double> every = [] {
    std::vector<double> stamps;
    for (int hit = 1; hit <= kHits; ++hit) stamps.push_back(hit);
    return stamps;
  }();
};

TEST_F(StoreDurabilityTest, SavedHitsSurviveAKilledProcess) {
  EXPECT_EQ(killChildThenSend("stored", [](const auto& rows) { return rows.size() == kHits; }), every);
}

TEST_F(StoreDurabilityTest, AHitReadByAKilledProcessIsSentAgain) {
  const auto sent = killChildThenSend("reading", [](const auto& rows) {
    return rows.size() == kHits && std::ranges::any_of(rows, [](const auto& row) { return row.second == 1; });
  });
  EXPECT_EQ(sent, every) << "the read hit once more here, every other hit once";
}

// A file damaged past its schema between two runs (after a kill, a sector
// gone bad): the next run moves it aside as it is and its new hits all go.
TEST_F(StoreDurabilityTest, AFileDamagedBetweenTwoRunsGoesAsideAndNewHitsAreSent) {
  const pid_t child = spawnTestChild("StoreDurabilityChild.DISABLED_StoresHitsUntilKilled",
                                     {"ALK_TEST_STORE=" + path, "ALK_TEST_MODE=stored"});
  ASSERT_GT(child, 0);
  EXPECT_TRUE(waitFor([&] { return rowsInFile(path).size() == kHits; }));
  ::kill(child, SIGKILL);
  waitForChild(child);
  execInFile(path, "PRAGMA wal_checkpoint(TRUNCATE)");
  damageTheTableOfRows(path);
  const std::string damaged = fileBytes(path);

  StorePipeline stages(path);
  for (double timestamp : {101.0, 102.0, 103.0}) stages.input->enqueueObject(activityStamped(timestamp));
  ASSERT_TRUE(waitFor([&] { return stages.input->isEmpty() && rowsInFile(path).size() == 3; }));
  stages.dispatch();
  ASSERT_TRUE(waitFor([&] { return stages.sent.size() >= 3 && rowsInFile(path).empty(); }));
  EXPECT_EQ(stages.sent, (std::vector<double>{101.0, 102.0, 103.0}));
  const auto aside = filesNamed(folder.path(), ".corrupt-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(fileBytes(aside[0]) == damaged);
}

// Two processes that open one corrupt file at the same moment: one moves it
// aside, both save into the one new store, and the corrupt bytes are kept.
TEST_F(StoreDurabilityTest, TwoProcessesOpeningOneCorruptFileShareOneNewStore) {
  for (int round = 0; round < 16; ++round) {
    TemporaryDirectory place;
    const std::string file = place.file("store.sqlite");
    const std::string corrupt(8192, static_cast<char>('a' + round));
    std::ofstream(file, std::ios::binary) << corrupt;
    const std::string word = place.file("go");
    std::vector<pid_t> children;
    for (const char* stamp : {"1", "2"}) {
      children.push_back(spawnTestChild("StoreDurabilityChild.DISABLED_SavesOneHitAtTheWord",
                                        {"ALK_TEST_STORE=" + file, std::string("ALK_TEST_STAMP=") + stamp,
                                         "ALK_TEST_GO=" + word}));
      ASSERT_GT(children.back(), 0);
    }
    EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(word + ".ready-1") && std::filesystem::exists(word + ".ready-2"); }));
    std::ofstream(word).close();
    for (const pid_t child : children) {
      const int status = waitForChild(child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    EXPECT_EQ(rowsInFile(file), (std::vector<std::pair<double, int>>{{1.0, 0}, {2.0, 0}})) << "round " << round;
    const auto aside = filesNamed(place.path(), ".corrupt-");
    ASSERT_EQ(aside.size(), 1u) << "round " << round;
    EXPECT_TRUE(fileBytes(aside[0]) == corrupt) << "round " << round;
  }
}

// A kill between the moves of a set aside (the file, its journal and its
// index under one new name): the next open completes it under that name, so
// the kept copy is whole, and begins no second one.
TEST_F(StoreDurabilityTest, ASetAsideCutByAKillIsCompletedUnderItsOneName) {
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"", std::string(8192, 'Z')}, {"-wal", "the journal of the damaged file"}, {"-shm", "its index"}};
  // Each round kills the child one name change later, until it lives to the end.
  for (int killAt = 1, lived = 0; !lived; ++killAt) {
    ASSERT_LE(killAt, 12) << "killed at every name change";
    SCOPED_TRACE("killed at name change " + std::to_string(killAt));
    TemporaryDirectory place;
    const std::string file = place.file("store.sqlite");
    for (const auto& [suffix, bytes] : damaged) std::ofstream(file + suffix, std::ios::binary) << bytes;
    const pid_t child = spawnTestChild("StoreDurabilityChild.DISABLED_SetsAsideUntilKilled",
                                       {"ALK_TEST_STORE=" + file, "ALK_TEST_KILL_AT=" + std::to_string(killAt)});
    ASSERT_GT(child, 0);
    const int status = waitForChild(child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no seccomp notifications here";
    lived = WIFEXITED(status);
    EXPECT_TRUE(lived ? WEXITSTATUS(status) == 0 : WTERMSIG(status) == SIGKILL) << "status " << status;

    auto store = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(file));
    ASSERT_NE(store->context(), nullptr);
    const auto aside = filesNamed(place.path(), ".corrupt-");
    ASSERT_EQ(aside.size(), 1u) << ::testing::PrintToString(aside);
    for (const auto& [suffix, bytes] : damaged) EXPECT_EQ(fileBytes(aside[0] + suffix), bytes) << suffix;
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(place.path())) {
      std::string name = entry.path().filename().string();
      for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        if (name.ends_with(suffix)) name.resize(name.size() - std::strlen(suffix));
      }
      if (name.starts_with("store.sqlite.corrupt-")) names.insert(name);
    }
    EXPECT_EQ(names.size(), 1u) << "one set under one name: " << ::testing::PrintToString(names);
    EXPECT_TRUE(store->addRequestWithActivity(activityStamped(1.0), std::nullopt, 0.0) && store->save());
  }
}

// A store file this user may not write (mode 0444) is a failed open, tried
// again on its schedule with nothing made beside it, until it is writable.
TEST_F(StoreDurabilityTest, AReadOnlyStoreFileIsTriedAgainUntilItIsWritable) {
  std::vector<std::string> environment = {"ALK_TEST_STORE=" + path};
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no user other than root to run as";
    ASSERT_EQ(::chown(folder.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    environment.push_back("ALK_TEST_USER=nobody");
  }
  const pid_t child = spawnTestChild("StoreDurabilityChild.DISABLED_StoresOnceTheFileIsWritable", environment);
  ASSERT_GT(child, 0);
  const int status = waitForChild(child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A disk with a few hundred kilobytes free, full at the start: the store
// opens once there is room, its journal stays small, and every hit is
// delivered once.
TEST_F(StoreDurabilityTest, OnANearlyFullDiskEveryHitIsDeliveredOnce) {
  SmallDisk disk(2 * 1024 * 1024);
  if (!disk.isMounted()) GTEST_SKIP() << "no small disk: mounting a tmpfs takes root";
  const std::string file = disk.file("store.sqlite");
  RecordingLoggerScope logger;
  disk.leaveFree(0);
  StorePipeline stages(file);
  std::vector<double> every;
  for (int hit = 1; hit <= 30; ++hit) {
    stages.input->enqueueObject(activityStamped(hit));
    every.push_back(hit);
  }
  ASSERT_TRUE(waitFor([&] { return logger->contains("Failed to add persistent store, error: "); }));
  disk.leaveFree(256 * 1024);
  ASSERT_TRUE(waitFor([&] { return stages.input->isEmpty(); }));
  stages.dispatch();
  ASSERT_TRUE(waitFor([&] { return stages.sent.size() >= every.size() && rowsInFile(file).empty(); }));

  // Hits come in runs of twenty, each delivered before the next: the disk
  // holds the journal and a run of hits, not every hit a busy machine stores
  // before it sends.
  for (int run = 0; run < 10; ++run) {
    for (int hit = 101 + 20 * run; hit <= 120 + 20 * run; ++hit) {
      stages.input->enqueueObject(activityStamped(hit));
      every.push_back(hit);
    }
    stages.dispatch();
    ASSERT_TRUE(waitFor([&] {
      if (stages.read->isHalted()) stages.dispatch();
      return stages.input->isEmpty() && stages.sent.size() >= every.size() && rowsInFile(file).empty();
    }, std::chrono::seconds(60))) << "run " << run;
  }
  EXPECT_EQ(stages.sent, every);
}

// On a disk short of room the journal stays small however many hits wait:
// the disk keeps its room for them.
TEST_F(StoreDurabilityTest, TheJournalStaysSmallWhileManyHitsWait) {
  SmallDisk disk(4 * 1024 * 1024);
  if (!disk.isMounted()) GTEST_SKIP() << "no small disk: mounting a tmpfs takes root";
  const std::string file = disk.file("store.sqlite");
  disk.leaveFree(3 * 1024 * 1024);
  StorePipeline stages(file);
  for (int hit = 1; hit <= 400; ++hit) stages.input->enqueueObject(activityStamped(hit));
  ASSERT_TRUE(waitFor([&] { return stages.input->isEmpty() && rowsInFile(file).size() == 400; }));
  EXPECT_LE(std::filesystem::file_size(file + "-wal"), 192u * 1024);
}

// While the disk has room, checkpoints are SQLite's own (each waits on the
// disk): the journal grows past the small one. Once the disk is short of
// room, the journal goes into the file and stays small, and every hit is
// delivered once.
TEST_F(StoreDurabilityTest, TheJournalIsSQLitesWhileTheDiskHasRoomAndSmallOnceItIsShort) {
  SmallDisk disk(32 * 1024 * 1024);
  if (!disk.isMounted()) GTEST_SKIP() << "no small disk: mounting a tmpfs takes root";
  const std::string file = disk.file("store.sqlite");
  StorePipeline stages(file);
  const auto clock = std::make_shared<ManualClock>();
  stages.queue->sync([&] { stages.store->setClock(clock); });
  std::vector<double> every;
  const auto store = [&](int first, int last) {
    for (int hit = first; hit <= last; ++hit) {
      stages.input->enqueueObject(activityStamped(hit));
      every.push_back(hit);
    }
    return waitFor([&] {
      clock->advance(60.0);
      return stages.input->isEmpty() && rowsInFile(file).size() == every.size();
    });
  };
  ASSERT_TRUE(store(1, 400));
  EXPECT_GT(std::filesystem::file_size(file + "-wal"), 1024u * 1024) << "checkpoints every few hits";

  disk.leaveFree(2 * 1024 * 1024);
  ASSERT_TRUE(store(401, 440));
  EXPECT_LE(std::filesystem::file_size(file + "-wal"), 192u * 1024);
  stages.dispatch();
  ASSERT_TRUE(waitFor([&] {
    clock->advance(60.0);
    if (stages.read->isHalted()) stages.dispatch();
    return stages.sent.size() >= every.size() && rowsInFile(file).empty();
  }, std::chrono::seconds(60)));
  EXPECT_EQ(stages.sent, every);
}

// The root page of the table of rows, whose reads every save and fetch needs.
std::int64_t tableRootPage(const std::string& path, std::int64_t& pageSize) {
  SQLite::Database database(path, SQLite::OPEN_READONLY, 5000);
  pageSize = database.execAndGet("PRAGMA page_size").getInt64();
  return database.execAndGet("SELECT rootpage FROM sqlite_master WHERE name = 'ZACTIVITYREQUEST'").getInt64();
}

// A page of the file that fails to read for a while as hits are saved and
// sent (SQLite reports such a read as "malformed") is an I/O error, not
// damage: nothing is set aside, the saves are tried again on the store's
// schedule, and every hit, those of an earlier run included, arrives once.
// The page heals once the store has met it failing and declined to set the
// file aside.
TEST_F(StoreDurabilityTest, APageThatFailsToReadForAWhileSetsNothingAsideAndEveryHitArrivesOnce) {
  FailingReads disk;
  RecordingLoggerScope logger;
  std::vector<double> every;
  {
    StorePipeline earlier(path);
    for (int hit = 1; hit <= 20; ++hit) {
      earlier.input->enqueueObject(activityStamped(hit));
      every.push_back(hit);
    }
    ASSERT_TRUE(waitFor([&] { return earlier.input->isEmpty() && rowsInFile(path).size() == 20; }));
  }
  StorePipeline stages(path);
  const auto clock = std::make_shared<ManualClock>();
  stages.queue->sync([&] { stages.store->setClock(clock); });
  stages.input->enqueueObject(activityStamped(21));
  every.push_back(21);
  ASSERT_TRUE(waitFor([&] { return stages.input->isEmpty() && rowsInFile(path).size() == 21; }));
  // The journal goes into the file, so that the store reads the page there.
  execInFile(path, "PRAGMA wal_checkpoint(TRUNCATE)");
  std::int64_t pageSize = 0;
  const std::int64_t root = tableRootPage(path, pageSize);
  disk.failPage(path, root, pageSize);
  for (int hit = 22; hit <= 40; ++hit) {
    stages.input->enqueueObject(activityStamped(hit));
    every.push_back(hit);
  }
  stages.dispatch();
  const auto tryAgain = [&] {
    clock->advance(60.0);
    if (stages.read->isHalted()) stages.dispatch();
  };
  ASSERT_TRUE(waitFor([&] {
    tryAgain();
    return disk.failures() > 0 && logger->contains("Not setting the store aside: a second look finds no damage");
  }, std::chrono::seconds(60))) << disk.failures() << " failed reads";
  disk.heal();
  ASSERT_TRUE(waitFor([&] {
    tryAgain();
    return stages.input->isEmpty() && stages.sent.size() >= every.size() && rowsInFile(path).empty();
  }, std::chrono::seconds(60))) << stages.sent.size() << " sent";
  EXPECT_GT(disk.failures(), 0) << "the page was never read while it failed";
  EXPECT_TRUE(logger->contains("database disk image is malformed"));
  EXPECT_EQ(stages.sent, every);
  EXPECT_TRUE(filesNamed(folder.path(), ".corrupt-").empty());
}

// Hits stored while none is sent (offline, or a slow sender) fill a disk with
// a few hundred kilobytes free: the store keeps the room its journal needs to
// go back into the file, so the hits it could not store wait in the queue,
// and once sending starts every hit is delivered once and the file empties.
TEST_F(StoreDurabilityTest, HitsStoredUntilTheDiskIsFullAreDeliveredOnceSendingStarts) {
  SmallDisk disk(2 * 1024 * 1024);
  if (!disk.isMounted()) GTEST_SKIP() << "no small disk: mounting a tmpfs takes root";
  const std::string file = disk.file("store.sqlite");
  RecordingLoggerScope logger;
  disk.leaveFree(256 * 1024);
  StorePipeline stages(file);
  // Retries wait on this clock: they cost no real time.
  const auto clock = std::make_shared<ManualClock>();
  stages.queue->sync([&] { stages.store->setClock(clock); });
  std::vector<double> every;
  for (int hit = 1; hit <= 400; ++hit) {
    stages.input->enqueueObject(activityStamped(hit));
    every.push_back(hit);
  }
  ASSERT_TRUE(waitFor([&] {
    clock->advance(60.0);
    return logger->contains("Unable to save changes: ");
  }));
  ASSERT_FALSE(stages.input->isEmpty()) << "the disk never filled up";

  stages.dispatch();
  EXPECT_TRUE(waitFor([&] {
    clock->advance(60.0);
    if (stages.read->isHalted()) stages.dispatch();
    return stages.input->isEmpty() && stages.sent.size() >= every.size() && rowsInFile(file).empty();
  }, std::chrono::seconds(120))) << stages.sent.size() << " sent, " << stages.input->count() << " waiting";
  EXPECT_EQ(stages.sent, every);
}

}  // namespace
