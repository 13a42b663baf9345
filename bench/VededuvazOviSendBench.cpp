// Sending through the Google Analytics store pipeline: what sendActivity
// costs the main thread with the pipeline attached, and hits per second from
// the tracker to a loopback collector (and in dry run), set against the floor
// of a plain loop of libcurl GETs to the same collector plus one SQLite
// commit per hit, with the parts of one send on their own. The last benchmark reports the resident memory before and
// after 100,000 hits.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <stdlib.h>

#include <SQLiteCpp/SQLiteCpp.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <string>
#include <thread>

#include "ALKActivityStore.h"
#include "ALKGATracker.h"
#include "ALKGoogleAnalyticsBackend.h"
#include "ALKLogger.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementConfig.h"
#include "ALKMeasurementRequestFilter.h"
#include "ALKTracker.h"
#include "Http/CurlMulti.h"
#include "Http/URLConnection.h"
#include "RunLoop/RunLoop.h"
#include "System/AppIdentity.h"
#include "VededuvazOviBenchSupport.h"

namespace {

// A collector on 127.0.0.1 answering 200 to every hit. Like a real one it
// keeps a connection open for many hits; it counts the connections that hits
// arrive on (the requests come one after another, so a new client port is a
// new connection).
class Collector {
 public:
  Collector() {
    server_.set_keep_alive_max_count(1000);
    server_.Get("/collect", [this](const httplib::Request& request, httplib::Response& response) {
      if (lastPort_.exchange(request.remote_port) != request.remote_port) ++connections_;
      response.status = 200;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Collector() {
    server_.stop();
    thread_.join();
  }
  std::string endPoint() const { return "http://127.0.0.1:" + std::to_string(port_) + "/collect"; }
  long connections() const { return connections_.load(); }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::atomic<int> lastPort_{-1};
  std::atomic<long> connections_{0};
  std::thread thread_;
};

Collector& collector() {
  static Collector* shared = new Collector();
  return *shared;
}

// A cache folder under /tmp for one benchmark, removed afterwards.
class CacheFolder {
 public:
  CacheFolder() {
    char pattern[] = "/tmp/VededuvazOviSendBench.XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
    setenv("NO_PROXY", "127.0.0.1", 1);
    platform::AppIdentity::shared().setCachesDirectory(path_);
    ALKGoogleAnalyticsBackend::registerBackend();
    ALKLogger::setSharedLogger(nullptr);
  }
  ~CacheFolder() {
    platform::AppIdentity::shared().setCachesDirectory("");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::shared_ptr<ALKTracker> storeTracker(bool dryRun, std::uint64_t queueLimit) {
  auto tracker = ALKGATracker::googleAnalyticsTrackerWithTrackingId("UA-10000000-1");
  auto config = tracker->config();
  ALKMeasurementConfig measurement(*config);
  measurement.setClientId("35009a79-1a05-49d7-b876-2b884d0f825b");
  measurement.setURLStringEndPoint(collector().endPoint());
  config->setRateLimit(0);
  config->setQueueLimit(queueLimit);
  config->setDryRun(dryRun);
  return tracker;
}

std::size_t storedRows(const ALKTracker& tracker) {
  auto& config = const_cast<ALKTracker&>(tracker);
  return ALKActivityStore::countActivityRequestsInFile(config.config()->pendingRequestsURL()->filePath())
      .value_or(0);
}

void waitUntil(const std::function<bool()>& done) {
  const auto main = platform::RunLoop::main();
  while (!done()) main.runUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
}

// Sends `hits` through the whole store pipeline and waits until the store
// is empty again.
void sendThrough(ALKTracker& tracker, int hits) {
  for (int hit = 0; hit < hits; ++hit) tracker.sendActivity(eventActivity());
  tracker.dispatch();
  waitUntil([&] { return !tracker.hasPendingActivities() && storedRows(tracker) == 0; });
}

long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// Bytes the allocator has handed out and not got back, in kB: unlike the
// resident size it does not count freed memory the allocator keeps.
long heapInUseKilobytes() { return static_cast<long>(mallinfo2().uordblks / 1024); }

void BM_SendActivityWithStorePipeline(benchmark::State& state) {
  CacheFolder folder;
  auto tracker = storeTracker(false, 1'000'000'000);
  tracker->pipeline();
  for (auto _ : state) tracker->sendActivity(eventActivity());
  tracker->close();
}
BENCHMARK(BM_SendActivityWithStorePipeline)->Unit(benchmark::kMicrosecond);

// Arg 1: dry run, nothing sent. Without pacing; set against the floor
// below. "connections_per_hit" tells how many hits had to open a connection.
void BM_HitsThroughStorePipeline(benchmark::State& state) {
  CacheFolder folder;
  auto tracker = storeTracker(state.range(0) == 1, 1'000'000);
  constexpr int kHits = 200;
  // One hit ahead, untimed: making the store file and its tables is set-up,
  // as the floor's database is.
  sendThrough(*tracker, 1);
  const long connectionsBefore = collector().connections();
  for (auto _ : state) sendThrough(*tracker, kHits);
  state.SetItemsProcessed(state.iterations() * kHits);
  state.counters["connections_per_hit"] = static_cast<double>(collector().connections() - connectionsBefore) /
                                          static_cast<double>(state.iterations() * kHits);
  tracker->close();
}
BENCHMARK(BM_HitsThroughStorePipeline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor: a fresh libcurl GET of a hit's URL and one SQLite commit per hit.
void BM_FloorCurlGetAndCommit(benchmark::State& state) {
  CacheFolder folder;
  platform::CurlMulti::initializeCurl();
  SQLite::Database database(folder.path() + "/floor.sqlite", SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE, 5000);
  database.exec("PRAGMA journal_mode=WAL");
  database.exec("PRAGMA synchronous=NORMAL");
  database.exec("CREATE TABLE hits (id INTEGER PRIMARY KEY, timestamp REAL)");
  SQLite::Statement insert(database, "INSERT INTO hits (timestamp) VALUES (?)");
  const std::string url = collector().endPoint() +
                          "?t=event&ec=SoftwareDownload&ea=Download&el=Printer%20Driver%205.1.2&ev=42&v=1&aip=1"
                          "&cid=35009a79-1a05-49d7-b876-2b884d0f825b&tid=UA-10000000-1&qt=5&z=818303834888";
  auto discard = +[](char*, size_t size, size_t count, void*) { return size * count; };
  constexpr int kHits = 200;
  for (auto _ : state) {
    for (int hit = 0; hit < kHits; ++hit) {
      CURL* easy = curl_easy_init();
      curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
      curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
      curl_easy_perform(easy);
      curl_easy_cleanup(easy);
      SQLite::Transaction transaction(database, SQLite::TransactionBehavior::IMMEDIATE);
      insert.reset();
      insert.bind(1, static_cast<double>(hit));
      insert.exec();
      transaction.commit();
    }
  }
  state.SetItemsProcessed(state.iterations() * kHits);
}
BENCHMARK(BM_FloorCurlGetAndCommit)->Unit(benchmark::kMillisecond)->UseRealTime();

// The per-hit parts of a send: preparing the request (defaults, ids, query)
// and one HTTP round trip through URLConnection on the main run loop. The
// store's commits per hit are in the activity store benchmarks.
void BM_PrepareHitRequest(benchmark::State& state) {
  CacheFolder folder;
  auto tracker = storeTracker(false, 1);
  const auto config = ALKConfig::configByAddingPropertiesFromConfig(tracker->config());
  auto activity = eventActivity();
  activity->setTimestamp(ALKActivity::currentTimestamp());
  for (auto _ : state) {
    benchmark::DoNotOptimize(ALKMeasurementRequestFilter::URLRequestForActivity(activity, config, nullptr, nullptr));
  }
}
BENCHMARK(BM_PrepareHitRequest)->Unit(benchmark::kMicrosecond);

void BM_URLConnectionRoundTrip(benchmark::State& state) {
  platform::URLConnection::Request request{collector().endPoint() + "?v=1", "GET", {}, 10, "Bench/1 (Linux)"};
  for (auto _ : state) {
    bool done = false;
    platform::URLConnection connection(request, platform::RunLoop::main(), [&](long, platform::ErrorPtr) {
      done = true;
    });
    connection.start();
    platform::RunLoop::main().runUntil([&] { return done; }, std::chrono::seconds(10));
  }
}
BENCHMARK(BM_URLConnectionRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// 100,000 hits in dry run, in batches; the resident memory after the first
// batch, half way and at the end, in kB.
void BM_ResidentMemoryOver100000Hits(benchmark::State& state) {
  CacheFolder folder;
  auto tracker = storeTracker(true, 1'000'000);
  long first = 0;
  long half = 0;
  long firstHeap = 0;
  for (auto _ : state) {
    for (int batch = 0; batch < 100; ++batch) {
      sendThrough(*tracker, 1000);
      if (batch == 0) first = residentKilobytes(), firstHeap = heapInUseKilobytes();
      if (batch == 49) half = residentKilobytes();
    }
  }
  state.counters["rss_after_1000_kB"] = static_cast<double>(first);
  state.counters["rss_after_50000_kB"] = static_cast<double>(half);
  state.counters["rss_after_100000_kB"] = static_cast<double>(residentKilobytes());
  state.counters["heap_in_use_after_1000_kB"] = static_cast<double>(firstHeap);
  state.counters["heap_in_use_after_100000_kB"] = static_cast<double>(heapInUseKilobytes());
  tracker->close();
}
BENCHMARK(BM_ResidentMemoryOver100000Hits)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
