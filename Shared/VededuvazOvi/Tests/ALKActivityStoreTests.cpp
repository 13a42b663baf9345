#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <thread>

#include "ALKActivityStore.h"
#include "ALKGAMeasurementActivityDescription.h"
#include "ALKMeasurementURLQuery.h"
#include "Archiving/KeyedCoding.h"
#include "Observation/NotificationCenter.h"
#include "RecordingLogger.h"
#include "StoreTestSupport.h"
#include "TemporaryDirectory.h"

namespace {

class ActivityStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<ALKActivityStore> storeAt(const std::string& path) {
    return ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(path));
  }
  std::shared_ptr<ALKActivityRequest> add(ALKActivityStore& store, double timestamp,
                                          std::optional<std::string> url = std::nullopt) {
    return store.addRequestWithActivity(url ? nullptr : activityStamped(timestamp), url, timestamp);
  }

  RecordingLoggerScope logger;
  TemporaryDirectory folder;
  const std::string path = folder.file("Caches/app/VededuvazOvi-Test-UA-1.sqlite");
};

TEST_F(ActivityStoreTest, OpensLazilyWithPrivateModesAndKeepsTimestampsExact) {
  auto store = storeAt(path);
  EXPECT_FALSE(ALKActivityStore::activityStoreWithURL(std::nullopt));
  EXPECT_EQ(store->numberOfActivityRequests(), 0u);
  EXPECT_EQ(store->earliestActivityRequest(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(path)) << "asking must not create the file";

  const double precise = 786'000'000.123456789;
  ASSERT_TRUE(add(*store, precise));
  ASSERT_TRUE(store->save());
  struct stat file {}, parent {};
  ASSERT_EQ(::stat(path.c_str(), &file), 0);
  ASSERT_EQ(::stat(std::filesystem::path(path).parent_path().c_str(), &parent), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  EXPECT_EQ(parent.st_mode & 0777, 0700u);
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{precise, 0}}));
  EXPECT_TRUE(store->removeActivityRequestWithTimestamp(precise));
  ASSERT_TRUE(store->save());
  EXPECT_TRUE(rowsInFile(path).empty());
}

TEST_F(ActivityStoreTest, CountsAndLookupsSeeUnsavedChangesButGroupedFetchesDoNot) {
  auto store = storeAt(path);
  add(*store, 10.0);
  EXPECT_EQ(store->numberOfActivityRequests(), 1u);
  EXPECT_TRUE(store->activityRequestWithTimestamp(10.0));
  EXPECT_EQ(store->earliestActivityRequest(), nullptr);
  ASSERT_TRUE(store->save());
  auto saved = store->earliestActivityRequest();
  ASSERT_TRUE(saved);
  EXPECT_FALSE(saved->objectID()->isTemporaryID());
  EXPECT_EQ(saved->activity()->timestamp(), 10.0);

  store->removeActivityRequest(saved);
  EXPECT_EQ(store->numberOfActivityRequests(), 0u);
  EXPECT_EQ(store->activityRequestWithTimestamp(10.0), nullptr);
  EXPECT_EQ(store->earliestActivityRequest(), saved) << "the file still holds it";
}

TEST_F(ActivityStoreTest, GroupedFetchesYieldTheExtremeRowOfEachURLString) {
  auto store = storeAt(path);
  for (double timestamp : {30.0, 10.0, 20.0}) add(*store, timestamp);
  add(*store, 5.0, "http://b/");
  add(*store, 40.0, "http://b/");
  add(*store, 15.0, "http://a/");
  ASSERT_TRUE(store->save());

  const auto stamps = [](const auto& rows) {
    std::vector<double> result;
    for (const auto& row : *rows) result.push_back(row->timestamp());
    return result;
  };
  EXPECT_EQ(stamps(store->earliestActivityRequests(std::nullopt, 0, ALKFetchRequest::kNoLimit)),
            (std::vector<double>{5.0, 10.0, 15.0}));
  EXPECT_EQ(stamps(store->latestActivityRequests(std::nullopt, 0, ALKFetchRequest::kNoLimit)),
            (std::vector<double>{40.0, 30.0, 15.0}));
  EXPECT_EQ(store->earliestActivityRequest(20.0)->timestamp(), 20.0);
  EXPECT_EQ(stamps(store->earliestActivityRequests(std::nullopt, 1, 1)), (std::vector<double>{10.0}));
  EXPECT_FALSE(store->earliestActivityRequests(std::nullopt, 7, 3));
  EXPECT_TRUE(logger->contains("No exceeded activity requests."));
}

// A grouped fetch whose statement to end its read cannot be prepared (SQLite
// refuses it: an authorizer here, want of memory elsewhere) fails with the
// error, and leaves no read open; the next fetch works.
TEST_F(ActivityStoreTest, AGroupedFetchThatCannotPrepareTheEndOfItsReadFailsWithTheError) {
  {
    auto earlier = storeAt(path);
    add(*earlier, 5.0, "http://a/");
    ASSERT_TRUE(earlier->save());
  }
  // A connection that has prepared nothing yet.
  auto store = storeAt(path);
  sqlite3* const connection = store->context()->getHandle();
  sqlite3_set_authorizer(
      connection,
      [](void*, int action, const char* what, const char*, const char*, const char*) {
        return action == SQLITE_TRANSACTION && std::string_view(what) == "COMMIT" ? SQLITE_DENY : SQLITE_OK;
      },
      nullptr);
  EXPECT_FALSE(store->earliestActivityRequests(std::nullopt, 0, ALKFetchRequest::kNoLimit));
  EXPECT_TRUE(logger->contains("Failed to execute fetch request. "));
  EXPECT_TRUE(logger->contains("not authorized"));
  EXPECT_NE(sqlite3_get_autocommit(connection), 0) << "a read is left open";
  sqlite3_set_authorizer(connection, nullptr, nullptr);
  const auto rows = store->earliestActivityRequests(std::nullopt, 0, ALKFetchRequest::kNoLimit);
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), 1u);
}

TEST_F(ActivityStoreTest, CapacityRefusesRowsButAFailedCountIsAnError) {
  auto store = storeAt(path);
  store->setCapacity(2);
  add(*store, 1.0);
  ASSERT_TRUE(add(*store, 2.0));
  EXPECT_TRUE(logger->contains("Did insert {amount: 2, "));
  platform::ErrorPtr error;
  EXPECT_FALSE(store->addRequestWithActivity(activityStamped(3.0), std::nullopt, 0.0, &error));
  EXPECT_FALSE(error);
  EXPECT_TRUE(logger->contains("Unable to add new activity request. Exceeded capacity {capacity: 2}"));
  ASSERT_TRUE(store->save());
  store->removeActivityRequestWithTimestamp(1.0);
  EXPECT_TRUE(add(*store, 3.0));
  ASSERT_TRUE(store->save());

  execInFile(path, "DROP TABLE ZACTIVITYREQUEST");
  logger->clear();
  EXPECT_FALSE(store->addRequestWithActivity(activityStamped(4.0), std::nullopt, 0.0, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), ALKSQLiteErrorDomain);
  EXPECT_TRUE(logger->contains("Failed to execute fetch requests. "));
  EXPECT_FALSE(logger->contains("Exceeded capacity"));
}

TEST_F(ActivityStoreTest, AFailedSaveKeepsItsChangesAndASuccessfulOneTellsTheDeletedRows) {
  auto store = storeAt(path);
  add(*store, 1.0)->setState(1);
  ASSERT_TRUE(store->save());
  execInFile(path, "CREATE TRIGGER refuse BEFORE INSERT ON ZACTIVITYREQUEST BEGIN SELECT RAISE(ABORT, 'no'); END");
  add(*store, 2.0);
  store->removeActivityRequestWithTimestamp(1.0);
  platform::ErrorPtr error;
  EXPECT_FALSE(store->save(&error));
  ASSERT_TRUE(error);
  EXPECT_TRUE(store->hasChanges());
  EXPECT_TRUE(logger->contains("Unable to save changes: "));
  EXPECT_EQ(rowsInFile(path).size(), 1u);

  std::vector<std::string> posted;
  std::vector<double> deleted;
  auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      "", store.get(), [&](const platform::Notification& notification) {
        posted.push_back(notification.name);
        const auto* underlying = notification.userInfo.objectForKey(ALKActivityStoreUnderlyingNotificationKey).dictionary();
        if (const auto* rows = underlying ? underlying->objectForKey(ALKDeletedObjectsKey).array() : nullptr) {
          for (const auto& row : *rows) deleted.push_back(row.objectAs<ALKActivityRequest>()->timestamp());
        }
      });
  execInFile(path, "DROP TRIGGER refuse");
  ASSERT_TRUE(store->save(&error));
  EXPECT_FALSE(store->hasChanges());
  EXPECT_EQ(posted, (std::vector<std::string>{ALKActivityStoreDidChangeNotification, ALKActivityStoreWillSaveNotification,
                                              ALKActivityStoreDidSaveNotification}));
  EXPECT_EQ(deleted, std::vector<double>{1.0});
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{2.0, 0}}));
}

TEST_F(ActivityStoreTest, RemovalOfADuplicateTimestampPrefersTheReadRow) {
  auto store = storeAt(path);
  add(*store, 7.0);
  add(*store, 7.0)->setState(1);
  ASSERT_TRUE(store->save());
  EXPECT_TRUE(store->removeActivityRequestWithTimestamp(7.0));
  ASSERT_TRUE(store->save());
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{7.0, 0}}));
  EXPECT_FALSE(store->removeActivityRequestWithTimestamp(8.0));
}

TEST_F(ActivityStoreTest, ResetRemovesTheFileWithItsCompanionsAndTheNextUseStartsAfresh) {
  auto store = storeAt(path);
  EXPECT_FALSE(store->resetDataStore()) << "nothing opened yet";
  add(*store, 1.0);
  ASSERT_TRUE(store->save());
  ASSERT_TRUE(std::filesystem::exists(path + "-wal"));
  EXPECT_TRUE(store->removeAllActivityRequests());
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) EXPECT_FALSE(std::filesystem::exists(path + suffix));
  EXPECT_EQ(store->numberOfActivityRequests(), 0u);
  EXPECT_TRUE(add(*store, 2.0));
  ASSERT_TRUE(store->save());
  EXPECT_EQ(rowsInFile(path).size(), 1u);
}

// A file the store refuses is left byte for byte as it was, with nothing
// beside it: the store looks before it writes, its journal mode included.
TEST_F(ActivityStoreTest, AFileOfAnotherKindFailsToOpenOnceAndIsKeptAsItWas) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  const auto refusedOnce = [&](const std::string& why) {
    const std::string before = fileBytes(path);
    logger->clear();
    auto store = storeAt(path);
    EXPECT_EQ(store->context(), nullptr) << why;
    EXPECT_EQ(store->context(), nullptr) << why;
    EXPECT_EQ(logger->count("Failed to add persistent store, error: "), 1u) << why;
    EXPECT_FALSE(store->addRequestWithActivity(activityStamped(1.0), std::nullopt, 0.0));
    EXPECT_FALSE(store->save());
    EXPECT_FALSE(store->resetDataStore());
    EXPECT_TRUE(fileBytes(path) == before) << why;
    for (const char* suffix : {"-wal", "-shm", "-journal"}) EXPECT_FALSE(std::filesystem::exists(path + suffix)) << why;
  };
  {
    SQLite::Database other(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    other.exec("CREATE TABLE other (x); INSERT INTO other VALUES ('kept')");
  }
  refusedOnce("another schema");
  EXPECT_FALSE(ALKActivityStore::countActivityRequestsInFile(path));
  std::filesystem::remove(path);
  {
    SQLite::Database other(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    other.exec("PRAGMA journal_mode=WAL; CREATE TABLE other (x); INSERT INTO other VALUES ('kept')");
  }
  refusedOnce("another program's file in WAL mode");
  std::filesystem::remove(path);
  {
    auto store = storeAt(path);
    add(*store, 1.0);
    ASSERT_TRUE(store->save());
  }
  execInFile(path, "UPDATE Z_METADATA SET Z_VERSION = Z_VERSION + 1");
  refusedOnce("another version");
  EXPECT_EQ(rowsInFile(path).size(), 1u);
}

// The journal files beside the store have the store's own mode 0600, even
// where SQLite would copy another mode of the store file, and those an
// earlier run left read-only or unreadable keep no later open out.
TEST_F(ActivityStoreTest, CompanionsAreGivenTheStoresOwnMode) {
  const auto mode = [](const std::string& file) {
    struct stat status {};
    return ::stat(file.c_str(), &status) == 0 ? status.st_mode & 07777 : 0u;
  };
  {
    auto store = storeAt(path);
    add(*store, 1.0);
    ASSERT_TRUE(store->save());
  }
  ::chmod(path.c_str(), 0644);
  {
    auto store = storeAt(path);
    ASSERT_TRUE(add(*store, 2.0) && store->save());
    EXPECT_EQ(mode(path + "-wal"), 0600u);
    EXPECT_EQ(mode(path + "-shm"), 0600u);
  }
  ::chmod(path.c_str(), 0600);
  std::ofstream(path + "-wal").close();
  std::ofstream(path + "-shm").close();
  ::chmod((path + "-wal").c_str(), 0444);
  ::chmod((path + "-shm").c_str(), 0);
  auto store = storeAt(path);
  ASSERT_TRUE(add(*store, 3.0) && store->save());
  EXPECT_EQ(mode(path + "-wal"), 0600u);
  EXPECT_EQ(mode(path + "-shm"), 0600u);
  EXPECT_EQ(rowsInFile(path).size(), 3u);
}

TEST_F(ActivityStoreTest, TheAvailabilityCheckNeverCreatesAndCountsEveryState) {
  EXPECT_EQ(ALKActivityStore::countActivityRequestsInFile(path), 0u);
  EXPECT_FALSE(std::filesystem::exists(path));
  auto store = storeAt(path);
  add(*store, 1.0)->setState(1);
  ASSERT_TRUE(store->save());
  EXPECT_EQ(ALKActivityStore::countActivityRequestsInFile(path), 1u);
}

// A read leaves no transaction open behind it: a write of another connection
// in between (another process on the file) does not make the next save fail.
TEST_F(ActivityStoreTest, ReadsHoldNoSnapshotThatFailsALaterSave) {
  auto store = storeAt(path);
  add(*store, 1.0);
  add(*store, 2.0, "https://collector.example/a");
  ASSERT_TRUE(store->save());
  const auto writeElsewhere = [&](double timestamp) {
    execInFile(path, "INSERT INTO ZACTIVITYREQUEST (ZSTATE, ZTIMESTAMP) VALUES (0, " + std::to_string(timestamp) + ")");
  };
  const std::vector<std::function<void()>> reads = {
      [&] { EXPECT_EQ(store->numberOfActivityRequests(), 2u); },
      [&] { EXPECT_TRUE(store->earliestActivityRequest()); },
      [&] { EXPECT_TRUE(store->activityRequestWithTimestamp(1.0)); },
  };
  double next = 10.0;
  for (const auto& read : reads) {
    read();
    writeElsewhere(next++);
    add(*store, next++);
    platform::ErrorPtr error;
    EXPECT_TRUE(store->save(&error)) << (error ? error->description() : std::string());
  }
}

// What a later process reads back is what this one hands out: text that an
// archive cannot hold is stored as the query escapes it, in keys and nested
// values too, and the caller's activity is left alone.
TEST_F(ActivityStoreTest, TextIsStoredAsTheQuerySendsItAndReadsBackSoAfterARestart) {
  const std::string invalid = "caf\xC3 \xFF\xFE" "end";
  auto activity = activityStamped(5.0);
  activity->setValue(invalid, "label");
  activity->setValue(platform::Array{platform::Dictionary{{std::string("a\0b", 3), 1}}}, "nested");
  const auto expectTreated = [&](const std::shared_ptr<ALKActivity>& stored, const char* when) {
    ASSERT_TRUE(stored) << when;
    EXPECT_EQ(stored->valueForProperty("label"), platform::Value("caf\uFFFD \uFFFD\uFFFDend")) << when;
    EXPECT_EQ(stored->valueForProperty("nested"),
              platform::Value(platform::Array{platform::Dictionary{{"a\uFFFDb", 1}}})) << when;
  };
  {
    auto store = storeAt(path);
    auto row = store->addRequestWithActivity(activity, std::nullopt, 0.0);
    ASSERT_TRUE(row && store->save());
    expectTreated(store->earliestActivityRequest()->activity(), "in this process");
    std::string sent, given;
    ALKMeasurementURLQuery::appendEscaped(sent, row->activity()->valueForProperty("label").stringValue());
    ALKMeasurementURLQuery::appendEscaped(given, invalid);
    EXPECT_EQ(sent, given);
    EXPECT_EQ(activity->valueForProperty("label"), platform::Value(invalid));
  }
  expectTreated(storeAt(path)->earliestActivityRequest()->activity(), "after a restart");
}

// No row without its archive, neither at the add nor at the save.
TEST_F(ActivityStoreTest, AnActivityThatCannotBeArchivedIsRefusedWithAnError) {
  auto store = storeAt(path);
  const auto activity = unarchivableActivityStamped(1.0);
  platform::ErrorPtr error;
  EXPECT_FALSE(store->addRequestWithActivity(activity, std::nullopt, 0.0, &error));
  EXPECT_TRUE(error && error->is(platform::Error::kCocoaErrorDomain, kALKActivityNotArchivableError));
  add(*store, 2.0)->setActivity(activity);
  error = nullptr;
  EXPECT_FALSE(store->save(&error));
  EXPECT_TRUE(error && error->is(platform::Error::kCocoaErrorDomain, kALKActivityNotArchivableError));
  EXPECT_TRUE(rowsInFile(path).empty());
}

// An activity whose properties hold arrays that each hold the next one twice:
// what the store accepted reads back equal and as shared as it was given, in
// this process and after a restart, and its query is built as any other's.
TEST_F(ActivityStoreTest, AnActivityOfSharedValuesReadsBackAsItWasAdded) {
  const auto chain = [](int levels) {
    platform::Value node("leaf");
    for (int level = 0; level < levels; ++level) node = platform::Array{node, node};
    return node;
  };
  auto activity = activityStamped(7.0);
  activity->setValue(chain(21), "chain");
  // As deep as an archive holds below the activity and its properties, the
  // leaf's level counted.
  activity->setValue(chain(static_cast<int>(platform::kKeyedArchiveMaxDepth) - 3), "deep");
  const auto expectAsAdded = [&](const std::shared_ptr<ALKActivity>& stored) {
    ASSERT_TRUE(stored);
    for (const char* name : {"chain", "deep"}) {
      const platform::Value value = stored->valueForProperty(name);
      EXPECT_EQ(value, activity->valueForProperty(name));
      ASSERT_TRUE(value.array());
      EXPECT_EQ(value.array()->at(0).sharedStorage(), value.array()->at(1).sharedStorage());
    }
  };
  platform::ErrorPtr error;
  {
    auto store = storeAt(path);
    ASSERT_TRUE(store->addRequestWithActivity(activity, std::nullopt, 0.0, &error)) << error->description();
    ASSERT_TRUE(store->save(&error)) << error->description();
    expectAsAdded(store->earliestActivityRequest()->activity());
  }
  const auto afterRestart = storeAt(path)->earliestActivityRequest()->activity();
  expectAsAdded(afterRestart);
  ASSERT_TRUE(afterRestart);
  EXPECT_TRUE(ALKMeasurementURLQuery::queryForActivity(afterRestart, ALKGAMeasurementActivityDescription::supportedDescriptions(), &error));
}

// A stamp that is not finite would be stored as NULL, which the file refuses.
TEST_F(ActivityStoreTest, StampsThatAreNotFiniteGiveThePresentTime) {
  auto store = storeAt(path);
  const double before = ALKActivity::currentTimestamp();
  for (const double given : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    EXPECT_EQ(store->addRequestWithActivity(activityStamped(12.5), std::nullopt, given)->timestamp(), 12.5);
    auto row = store->addRequestWithActivity(activityStamped(given), std::nullopt, given);
    EXPECT_GE(row->timestamp(), before);
    EXPECT_EQ(row->activity()->timestamp(), row->timestamp()) << "the remove stage finds the row by it";
  }
  ASSERT_TRUE(store->save());
  EXPECT_EQ(rowsInFile(path).size(), 6u);
}

// A reset that cannot delete the file leaves a store whose adds fail with an
// error until a later try opens the file again; never one that drops them.
TEST_F(ActivityStoreTest, AFailedResetLeavesAStoreThatWorksOrFailsWithAnError) {
  auto store = storeAt(path);
  add(*store, 1.0);
  ASSERT_TRUE(store->save());
  std::filesystem::remove(path);
  std::filesystem::create_directories(path + "/inside");
  EXPECT_FALSE(store->resetDataStore());
  for (int twice = 0; twice < 2; ++twice) {
    platform::ErrorPtr error;
    EXPECT_FALSE(store->addRequestWithActivity(activityStamped(2.0), std::nullopt, 0.0, &error));
    EXPECT_TRUE(error);
  }
  EXPECT_EQ(logger->count("Failed to add persistent store, error: "), 1u) << "no second try at once";
  std::filesystem::remove_all(path);
  ASSERT_TRUE(waitFor([&] { return store->context() != nullptr; }, std::chrono::seconds(5)));
  EXPECT_TRUE(add(*store, 3.0) && store->save());
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{3.0, 0}}));
}

// A folder in the way stands for whatever keeps the file from opening for a
// while (a full disk, a lock): tried again for as long as it fails, each try
// twice as long after the one before, up to a minute.
TEST_F(ActivityStoreTest, AFailedOpenIsTriedAgainAtAGrowingIntervalUntilItOpens) {
  std::filesystem::create_directories(folder.file("Caches"));
  std::ofstream(folder.file("Caches/app")) << "in the way";
  auto store = storeAt(path);
  const auto clock = std::make_shared<ManualClock>();
  store->setClock(clock);
  const auto tries = [&] { return logger->count("Failed to add persistent store, error: "); };
  EXPECT_EQ(store->context(), nullptr);
  ASSERT_EQ(tries(), 1u);
  std::size_t expected = 1;
  for (const double interval : {1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 60.0, 60.0}) {
    clock->advance(interval - 0.001);
    EXPECT_EQ(store->context(), nullptr);
    EXPECT_EQ(tries(), expected) << "too early after " << interval;
    clock->advance(0.001);
    EXPECT_EQ(store->context(), nullptr);
    EXPECT_EQ(tries(), ++expected) << "not tried after " << interval;
  }
  std::filesystem::remove(folder.file("Caches/app"));
  EXPECT_EQ(store->context(), nullptr);
  clock->advance(60.0);
  EXPECT_NE(store->context(), nullptr);
  EXPECT_TRUE(add(*store, 1.0) && store->save());
}

// A file SQLite cannot read as a database is kept as it is, with its
// companions, under a name that says so and when; a new store takes its
// place. A second one at the same second does not take the first one's name.
TEST_F(ActivityStoreTest, ACorruptFileIsMovedAsideWithItsCompanionsAndANewFileMade) {
  struct FixedWallClock : ManualClock {
    double currentTimestamp() const override { return 3600.0; }  // 2001-01-01 01:00:00 UTC
  };
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  const std::string aside = path + ".corrupt-20010101T010000Z";
  for (const std::string& moved : {aside, aside + ".2"}) {
    const std::map<std::string, std::string> files = {
        {"", std::string(8192, '\x5a')}, {"-wal", "old journal"}, {"-shm", "old index"}};
    for (const auto& [suffix, bytes] : files) std::ofstream(path + suffix, std::ios::binary | std::ios::trunc) << bytes;
    logger->clear();
    auto store = storeAt(path);
    store->setClock(std::make_shared<FixedWallClock>());
    ASSERT_NE(store->context(), nullptr) << moved;
    EXPECT_EQ(logger->count("Failed to add persistent store, error: "), 1u);
    EXPECT_EQ(logger->count("Moved the corrupt store aside {" + path + " -> " + moved + "}"), 1u);
    for (const auto& [suffix, bytes] : files) {
      std::ifstream kept(moved + suffix, std::ios::binary);
      const std::string found(std::istreambuf_iterator<char>(kept), {});
      // SQLite rebuilds the -shm index when it finds it invalid.
      if (suffix != "-shm") {
        EXPECT_EQ(found, bytes) << moved + suffix;
      }
      EXPECT_TRUE(kept.is_open()) << moved + suffix;
    }
    EXPECT_TRUE(add(*store, 1.0) && store->save());
    EXPECT_EQ(rowsInFile(path).size(), 1u);
  }
}

// Damage after damage: the store keeps its newest three set-aside copies,
// each with its journal files, and removes the older ones it made, with one
// INFO line each; nothing else in the folder is touched, another store's
// set-aside copies included. With the clock set back, the set just made is
// named older than those before it, and is kept all the same, as one of the
// three.
TEST_F(ActivityStoreTest, OnlyTheNewestThreeSetAsideCopiesAreKept) {
  // Wall time that moves one second every seventh damage: names of one
  // second are numbered.
  struct SteppingWallClock : ManualClock {
    double currentTimestamp() const override { return 3600.0 + damage / 7; }
    int damage = 0;
  };
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::filesystem::create_directories(parent);
  const std::vector<std::string> others = {path + ".corrupt-notes.txt", path + ".corrupt-20010101T005959Z.txt",
                                           parent / "other.sqlite.corrupt-20010101T005959Z", path + ".bak"};
  for (const auto& other : others) std::ofstream(other) << "not the store's";
  const auto clock = std::make_shared<SteppingWallClock>();
  // A damaged file at the path, opened: the name of the set made, and the
  // sets removed.
  const auto damageAndOpen = [&](std::string& made, std::ptrdiff_t& removals) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(8192, static_cast<char>(clock->damage));
    std::ofstream(path + "-wal", std::ios::binary | std::ios::trunc) << "journal " << clock->damage;
    logger->clear();
    auto store = storeAt(path);
    store->setClock(clock);
    ASSERT_NE(store->context(), nullptr);
    const std::string moved = "Moved the corrupt store aside {" + path + " -> ";
    for (const auto& line : logger->lines()) {
      if (const auto at = line.text.find(moved); at != std::string::npos) {
        made = line.text.substr(at + moved.size(), line.text.rfind('}') - at - moved.size());
      }
    }
    removals = std::ranges::count_if(logger->lines(), [](const auto& line) {
      return line.text.find("Removed an older corrupt store {") != std::string::npos &&
             line.text.find("<INFO>") != std::string::npos;
    });
  };
  const auto sets = [&] {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(parent)) {
      const std::string name = entry.path().string();
      if (!name.starts_with(path + ".corrupt-") || std::ranges::find(others, name) != others.end()) continue;
      found.insert(name.ends_with("-wal") ? name.substr(0, name.size() - 4) : name);
    }
    return found;
  };
  std::string newest;
  std::ptrdiff_t removed = 0;
  for (clock->damage = 1; clock->damage <= 50; ++clock->damage) {
    std::ptrdiff_t removals = 0;
    ASSERT_NO_FATAL_FAILURE(damageAndOpen(newest, removals));
    removed += removals;
    ASSERT_LE(removals, 1) << clock->damage;
  }
  EXPECT_EQ(removed, 47);
  EXPECT_EQ(sets().size(), 3u) << ::testing::PrintToString(sets());
  EXPECT_TRUE(sets().contains(newest)) << newest;
  EXPECT_EQ(fileBytes(newest), std::string(8192, static_cast<char>(50)));
  EXPECT_EQ(fileBytes(newest + "-wal"), "journal 50");
  for (const auto& other : others) EXPECT_EQ(fileBytes(other), "not the store's") << other;

  // Sets named an hour later than the clock's time, as a clock set back
  // leaves them.
  const std::vector<std::string> later = {path + ".corrupt-20010101T020000Z", path + ".corrupt-20010101T020001Z",
                                          path + ".corrupt-20010101T020002Z"};
  for (const auto& name : later) std::ofstream(name) << "set aside later";
  std::string made;
  std::ptrdiff_t removals = 0;
  ASSERT_NO_FATAL_FAILURE(damageAndOpen(made, removals));
  EXPECT_EQ(sets(), (std::set<std::string>{made, later[1], later[2]}));
  EXPECT_TRUE(fileBytes(made) == std::string(8192, static_cast<char>(51))) << made;
  EXPECT_EQ(fileBytes(made + "-wal"), "journal 51");
  EXPECT_EQ(removals, 4);
}

// A file that takes the path of a running store (a backup put back, another
// run's file moved in) is the one the next save goes into, its journal with
// it, and the rows the store holds join those of the file found there.
TEST_F(ActivityStoreTest, AFileThatReplacesTheStoreKeepsItsJournalAndGetsTheStoresRows) {
  auto store = storeAt(path);
  ASSERT_TRUE(add(*store, 1.0) && store->save());
  // A copy of a file whose rows are in its journal only (its store is still
  // open) moves in, as another process would put it there.
  const std::string other = folder.file("other.sqlite");
  const std::string copy = folder.file("copy.sqlite");
  auto elsewhere = storeAt(other);
  ASSERT_TRUE(add(*elsewhere, 2.0) && add(*elsewhere, 3.0) && elsewhere->save());
  for (const char* suffix : {"-wal", "-shm", ""}) std::filesystem::copy_file(other + suffix, copy + suffix);
  elsewhere.reset();
  for (const char* suffix : {"-wal", "-shm", ""}) std::filesystem::rename(copy + suffix, path + suffix);
  ASSERT_TRUE(add(*store, 4.0) && store->save());
  EXPECT_EQ(logger->count("The store file is gone or replaced"), 1u);
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{1.0, 0}, {2.0, 0}, {3.0, 0}, {4.0, 0}}));
}

// A path longer than SQLite takes fails at once, with the cause in its ERROR
// line, and is not tried again: nothing is made at it. SQLite opens a file by
// its real path, so a short path through a linked folder counts as long as
// that path is.
TEST_F(ActivityStoreTest, APathTooLongForSQLiteFailsOnceNamingTheCause) {
  std::string deep = folder.path();
  while (deep.size() < 480) deep += "/" + std::string(40, 'd');
  std::filesystem::create_directories(deep);
  const std::string tooLong = deep + "/" + std::string(520 - deep.size() - 1, 's');
  ASSERT_EQ(tooLong.size(), 520u);
  const std::string linked = folder.file("linked");
  std::filesystem::create_directory_symlink(deep, linked);
  for (const std::string& given : {tooLong, linked + "/" + std::filesystem::path(tooLong).filename().string()}) {
    SCOPED_TRACE(given);
    logger->clear();
    auto store = storeAt(given);
    const auto clock = std::make_shared<ManualClock>();
    store->setClock(clock);
    EXPECT_EQ(store->context(), nullptr);
    EXPECT_EQ(logger->count("<ERROR>"), 1u);
    EXPECT_EQ(logger->count("Failed to add persistent store, error: "), 1u);
    EXPECT_TRUE(logger->contains("longer than SQLite takes"));
    clock->advance(3600.0);
    EXPECT_EQ(store->context(), nullptr);
    platform::ErrorPtr error;
    EXPECT_FALSE(store->addRequestWithActivity(activityStamped(1.0), std::nullopt, 0.0, &error));
    EXPECT_TRUE(error);
    EXPECT_EQ(logger->count("Failed to add persistent store, error: "), 1u) << "tried again";
    EXPECT_FALSE(std::filesystem::exists(tooLong));
  }
}

// A file whose header and schema are sound but whose table of rows is
// damaged opens for SQLite, and new rows would even be saved into it: the
// open's check finds it, and it goes aside as it was.
TEST_F(ActivityStoreTest, DamageBehindASoundSchemaIsFoundAtTheOpen) {
  {
    auto store = storeAt(path);
    for (double timestamp : {1.0, 2.0, 3.0}) add(*store, timestamp);
    ASSERT_TRUE(store->save());
  }
  damageTheTableOfRows(path);
  const std::string damaged = fileBytes(path);
  auto store = storeAt(path);
  ASSERT_NE(store->context(), nullptr);
  EXPECT_EQ(logger->count("Moved the corrupt store aside {" + path + " -> "), 1u);
  const auto aside = filesNamed(std::filesystem::path(path).parent_path(), ".corrupt-");
  ASSERT_EQ(aside.size(), 1u) << ::testing::PrintToString(aside);
  EXPECT_TRUE(fileBytes(aside[0]) == damaged);
  EXPECT_TRUE(add(*store, 4.0) && store->save());
  EXPECT_EQ(store->earliestActivityRequest()->timestamp(), 4.0);
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{4.0, 0}}));
}

// Damage that comes after the open (a sector gone bad under a running
// process) is handled as a corrupt open when a save or a read meets it: the
// file goes aside, a new one is made, and the rows the store holds in memory,
// saved or not, are written there as they are.
TEST_F(ActivityStoreTest, DamageFoundAfterTheOpenMovesTheFileAsideAndKeepsTheRowsInMemory) {
  auto store = storeAt(path);
  for (double timestamp : {1.0, 2.0, 3.0}) add(*store, timestamp);
  ASSERT_TRUE(store->save());
  const auto read = store->earliestActivityRequest();
  ASSERT_TRUE(read);
  read->setState(1);
  ASSERT_TRUE(store->save());
  execInFile(path, "PRAGMA wal_checkpoint(TRUNCATE)");
  damageTheTableOfRows(path);
  const std::string damaged = fileBytes(path);
  execInFile(path, "PRAGMA user_version = 7");  // another connection's write: the store reads the file again

  add(*store, 4.0);
  platform::ErrorPtr error;
  EXPECT_TRUE(store->save(&error)) << (error ? error->description() : std::string());
  EXPECT_TRUE(logger->contains("database disk image is malformed"));
  const auto aside = filesNamed(std::filesystem::path(path).parent_path(), ".corrupt-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(fileBytes(aside[0]) == damaged);
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{1.0, 1}, {2.0, 0}, {3.0, 0}, {4.0, 0}}));
  EXPECT_EQ(store->earliestActivityRequest(), read) << "the row read is the same row, in the new file";

  // The read hit is removed once sent, as before; a read that meets damage
  // recovers alike.
  EXPECT_TRUE(store->removeActivityRequestWithTimestamp(1.0));
  ASSERT_TRUE(store->save());
  execInFile(path, "PRAGMA wal_checkpoint(TRUNCATE)");
  damageTheTableOfRows(path);
  execInFile(path, "PRAGMA user_version = 8");
  EXPECT_EQ(store->earliestActivityRequest()->timestamp(), 2.0);
  EXPECT_EQ(filesNamed(std::filesystem::path(path).parent_path(), ".corrupt-").size(), 2u);
  EXPECT_TRUE(add(*store, 5.0) && store->save());
  EXPECT_EQ(rowsInFile(path), (std::vector<std::pair<double, int>>{{2.0, 0}, {3.0, 0}, {4.0, 0}, {5.0, 0}}));
}

// A store path that is a symbolic link names the file it leads to: a corrupt
// one goes aside beside itself, the link stays, and the new store is made
// where it leads, as it is for a link that leads to no file yet.
TEST_F(ActivityStoreTest, AStoreReachedThroughASymbolicLinkIsTheFileItLeadsTo) {
  const std::string real = folder.file("real/store.sqlite");
  std::filesystem::create_directories(folder.file("real"));
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(real, std::ios::binary) << std::string(8192, '\x5a');
  std::filesystem::create_symlink(real, path);
  auto store = storeAt(path);
  ASSERT_NE(store->context(), nullptr);
  EXPECT_EQ(logger->count("Failed to add persistent store, error: "), 1u);
  ASSERT_EQ(filesNamed(folder.file("real"), ".corrupt-").size(), 1u);
  EXPECT_EQ(fileBytes(filesNamed(folder.file("real"), ".corrupt-")[0]), std::string(8192, '\x5a'));
  EXPECT_TRUE(add(*store, 1.0) && store->save());
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_EQ(std::filesystem::read_symlink(path), real);
  EXPECT_EQ(rowsInFile(real).size(), 1u);

  const std::string dangling = folder.file("Caches/dangling.sqlite");
  std::filesystem::create_symlink("../real/new.sqlite", dangling);
  auto other = storeAt(dangling);
  EXPECT_TRUE(add(*other, 2.0) && other->save());
  EXPECT_TRUE(std::filesystem::is_symlink(dangling));
  EXPECT_EQ(rowsInFile(folder.file("real/new.sqlite")).size(), 1u);
}

// Stores opening one new file at the same moment, as two processes starting
// together do (SQLite locks connections of one process alike): all open.
TEST_F(ActivityStoreTest, StoresOpeningOneNewFileTogetherAllOpen) {
  std::atomic<int> opened = 0;
  for (int round = 0; round < 40; ++round) {
    const std::string file = folder.file(std::to_string(round) + ".sqlite");
    std::atomic<int> waiting = 4;
    std::vector<std::thread> threads;
    for (int index = 0; index < 4; ++index) {
      threads.emplace_back([&] {
        auto store = storeAt(file);
        for (waiting.fetch_sub(1); waiting.load() > 0;) {
        }
        if (store->addRequestWithActivity(activityStamped(1.0), std::nullopt, 0.0) && store->save()) ++opened;
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(opened.load(), 160);
  EXPECT_FALSE(logger->contains("database is locked"));
}

}  // namespace
