// The pending-hit store on a real file in /tmp: what one hit costs it, set
// against the floor of a plain SQLite insert and commit of the same archive
// on the same kind of file (WAL, synchronous=NORMAL), and the queries the
// pipeline runs per hit.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include <SQLiteCpp/SQLiteCpp.h>

#include "ALKActivityStore.h"
#include "ALKActivityToDataTransformer.h"
#include "ALKAnalyticsRegistry.h"
#include "ALKClient.h"
#include "ALKLogger.h"
#include "ALKPipeline.h"
#include "ALKQueue.h"
#include "ALKReadActivityRequestFilter.h"
#include "ALKRemoveActivityRequestFilter.h"
#include "ALKWriteActivityRequestFilter.h"
#include "Dispatch/DispatchQueue.h"
#include "RunLoop/RunLoop.h"
#include "VededuvazOviBenchSupport.h"

namespace {

// A folder under /tmp for one benchmark, removed afterwards.
class Folder {
 public:
  Folder() {
    char pattern[] = "/tmp/VededuvazOviBench.XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file() const { return path_ + "/store.sqlite"; }

 private:
  std::string path_;
};

std::shared_ptr<ALKActivityStore> openStore(const std::string& path) {
  auto store = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(path));
  store->context();
  return store;
}

// The floor: one insert, update or delete per transaction on a connection set
// up as the store's is, binding the same archive.
class RawFile {
 public:
  explicit RawFile(const std::string& path) : database_(path, SQLite::OPEN_READWRITE, 5000) {
    database_.exec("PRAGMA journal_mode=WAL");
    database_.exec("PRAGMA synchronous=NORMAL");
    const auto archive = ALKActivityToDataTransformer().transformedValue(platform::Value(eventActivity()));
    archive_ = *archive.data();
  }
  // With `activity`, archives it first, as the store must.
  std::int64_t insert(double timestamp, const std::shared_ptr<ALKActivity>& activity = nullptr) {
    // The archive made here is held by its value until the insert is done.
    const platform::Value made =
        activity ? ALKActivityToDataTransformer().transformedValue(platform::Value(activity)) : platform::Value();
    const platform::Data& archive = activity ? *made.data() : archive_;
    SQLite::Transaction transaction(database_, SQLite::TransactionBehavior::IMMEDIATE);
    insert_.reset();
    insert_.bind(1, timestamp);
    insert_.bind(2, archive.data(), static_cast<int>(archive.size()));
    insert_.exec();
    transaction.commit();
    return database_.getLastInsertRowid();
  }
  void commit(SQLite::Statement& statement, std::int64_t key) {
    SQLite::Transaction transaction(database_, SQLite::TransactionBehavior::IMMEDIATE);
    statement.reset();
    statement.bind(1, key);
    statement.exec();
    transaction.commit();
  }
  void markRead(std::int64_t key) { commit(update_, key); }
  void remove(std::int64_t key) { commit(delete_, key); }
  // Many rows in one transaction.
  void fill(int rows) {
    SQLite::Transaction transaction(database_, SQLite::TransactionBehavior::IMMEDIATE);
    for (int row = 0; row < rows; ++row) {
      insert_.reset();
      insert_.bind(1, 1000.0 + row);
      insert_.bind(2, archive_.data(), static_cast<int>(archive_.size()));
      insert_.exec();
    }
    transaction.commit();
  }

 private:
  SQLite::Database database_;
  platform::Data archive_;
  SQLite::Statement insert_{database_, "INSERT INTO ZACTIVITYREQUEST (ZSTATE, ZTIMESTAMP, ZACTIVITY) VALUES (0, ?, ?)"};
  SQLite::Statement update_{database_, "UPDATE ZACTIVITYREQUEST SET ZSTATE = 1 WHERE Z_PK = ?"};
  SQLite::Statement delete_{database_, "DELETE FROM ZACTIVITYREQUEST WHERE Z_PK = ?"};
};

// A file with the store's schema (made by a store that is gone again) and a
// plain connection to it.
struct RawSetup {
  Folder folder;
  const bool schema = openStore(folder.file()) != nullptr;
  RawFile raw{folder.file()};
};

}  // namespace

static void BM_RawInsertAndCommit(benchmark::State& state) {
  ALKLogger::setSharedLogger(nullptr);
  RawSetup setup;
  double timestamp = 1.0;
  for (auto _ : state) setup.raw.insert(timestamp++);
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawInsertAndCommit)->Unit(benchmark::kMicrosecond);

// The same with the archiving that no store can skip.
static void BM_RawArchiveInsertAndCommit(benchmark::State& state) {
  RawSetup setup;
  const auto activity = eventActivity();
  double timestamp = 1.0;
  for (auto _ : state) setup.raw.insert(timestamp++, activity);
}
BENCHMARK(BM_RawArchiveInsertAndCommit)->Unit(benchmark::kMicrosecond);

static void BM_StoreAddAndSave(benchmark::State& state) {
  Folder folder;
  const auto store = openStore(folder.file());
  const auto activity = eventActivity();
  double timestamp = 1.0;
  for (auto _ : state) {
    store->addRequestWithActivity(activity, std::nullopt, timestamp++);
    store->save();
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StoreAddAndSave)->Unit(benchmark::kMicrosecond);

// The floor of one hit's life in the store: three commits.
static void BM_RawWriteReadRemove(benchmark::State& state) {
  RawSetup setup;
  double timestamp = 1.0;
  for (auto _ : state) {
    const std::int64_t key = setup.raw.insert(timestamp++);
    setup.raw.markRead(key);
    setup.raw.remove(key);
  }
}
BENCHMARK(BM_RawWriteReadRemove)->Unit(benchmark::kMicrosecond);

// The same with the archiving that no store can skip.
static void BM_RawArchiveWriteReadRemove(benchmark::State& state) {
  RawSetup setup;
  const auto activity = eventActivity();
  double timestamp = 1.0;
  for (auto _ : state) {
    const std::int64_t key = setup.raw.insert(timestamp++, activity);
    setup.raw.markRead(key);
    setup.raw.remove(key);
  }
}
BENCHMARK(BM_RawArchiveWriteReadRemove)->Unit(benchmark::kMicrosecond);

// What the three store stages do for one hit, on one thread.
static void BM_StoreWriteReadRemove(benchmark::State& state) {
  Folder folder;
  const auto store = openStore(folder.file());
  const auto activity = eventActivity();
  double timestamp = 1.0;
  for (auto _ : state) {
    store->addRequestWithActivity(activity, std::nullopt, timestamp++);
    store->save();
    const auto row = store->earliestActivityRequest();
    row->setState(1);
    store->save();
    store->removeActivityRequestWithTimestamp(row->timestamp());
    store->save();
  }
}
BENCHMARK(BM_StoreWriteReadRemove)->Unit(benchmark::kMicrosecond);

// The earliest row among N saved rows: flat while the index serves it.
static void BM_EarliestActivityRequest(benchmark::State& state) {
  Folder folder;
  const auto store = openStore(folder.file());
  RawFile(folder.file()).fill(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(store->earliestActivityRequest());
}
BENCHMARK(BM_EarliestActivityRequest)->Arg(60)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Opening a store on a file of N saved rows, as every process start and the
// retries of a failed open do.
static void BM_StoreOpen(benchmark::State& state) {
  Folder folder;
  openStore(folder.file());
  RawFile(folder.file()).fill(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(openStore(folder.file())->context());
}
BENCHMARK(BM_StoreOpen)->Arg(60)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The read stage's availability check: open, look, close, while the stages'
// store holds its connection open.
static void BM_AvailabilityCheck(benchmark::State& state) {
  Folder folder;
  const auto store = openStore(folder.file());
  RawFile(folder.file()).fill(60);
  for (auto _ : state) benchmark::DoNotOptimize(ALKActivityStore::countActivityRequestsInFile(folder.file()));
}
BENCHMARK(BM_AvailabilityCheck)->Unit(benchmark::kMicrosecond);

namespace {

// Counts the availability questions the tracker asks (only the first one
// looks at the file).
class CountingReadFilter : public ALKReadActivityRequestFilter {
 public:
  using ALKReadActivityRequestFilter::ALKReadActivityRequestFilter;
  bool hasInputObjectsAvailable() const override {
    checks.fetch_add(1);
    return ALKReadActivityRequestFilter::hasInputObjectsAvailable();
  }
  static inline std::atomic<std::int64_t> checks{0};
};

}  // namespace

// Hits sent by the application and carried through a whole pipeline (write,
// read, a sender that succeeds at once on the main queue, remove), with the
// tracker and the client reacting to every queue change; 60 hits a round.
static void BM_PipelineHits(benchmark::State& state) {
  constexpr int kRound = 60;
  Folder folder;
  const std::string path = folder.file();
  std::int64_t sent = 0;
  ALKAnalyticsRegistry::shared().registerEntry<ALKTracker::Factory>(
      "benchTrackerWithTrackingId:", [](const std::string&) { return std::make_shared<ALKTracker>(); });
  ALKAnalyticsRegistry::shared().registerEntry<ALKTracker::PipelineTemplate>(
      "benchActivityPipeline", [&](ALKTracker&) {
        const auto store = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(path));
        const auto queue = platform::DispatchQueue::serial("com.ZidodidurEro.activityStoreFilter");
        const auto queueA = ALKQueue::queue();
        const auto queueB = ALKQueue::queue();
        auto sender = ALKQueueFilter::make(
            queueA, queueB, true, platform::DispatchQueue::main(),
            [&](ALKQueueFilter& filter, const platform::ObjectPtr& object, const ALKQueueFilter::Finish& finish) {
              ++sent;
              finish(filter, object, nullptr);
            },
            nullptr);
        return ALKPipeline::pipelineWithFilters(
            {ALKWriteActivityRequestFilter::filterWithActivityStore(store, ALKQueue::queue(), nullptr, queue),
             ALKReadActivityRequestFilter::filterWithActivityStore<CountingReadFilter>(store, queueA, queue),
             std::move(sender), ALKRemoveActivityRequestFilter::filterWithActivityStore(store, queueB, nullptr, queue)});
      });
  auto client = std::make_shared<ALKClient>();
  client->config()->setAnalyticsType("Bench");
  client->setTrackingId("UA-1");
  const auto tracker = client->defaultTracker();
  const auto activity = eventActivity();
  CountingReadFilter::checks = 0;
  for (auto _ : state) {
    const std::int64_t target = sent + kRound;
    for (int hit = 0; hit < kRound; ++hit) tracker->sendActivity(activity);
    client->dispatch();
    const auto pipeline = tracker->pipeline();
    platform::RunLoop::main().runUntil(
        [&] { return sent >= target && !pipeline->hasExecutingFilters() && !pipeline->hasPendingObjects(); },
        std::chrono::seconds(60));
  }
  state.counters["hits/s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
  state.counters["checks/hit"] = static_cast<double>(CountingReadFilter::checks.load()) / static_cast<double>(sent);
  client->close();
  drainMainRunLoop();
}
BENCHMARK(BM_PipelineHits)->Unit(benchmark::kMillisecond)->UseRealTime();
