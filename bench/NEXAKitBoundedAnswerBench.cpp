// Memory held while a session resolves a printer whose discovery tree is a
// large body: the allocator's peak of bytes in use during the resolve, beyond
// what it held before, beside the body's size (the floor: the body kept once).
// One printer answers at once; the other answers 202 first, so the resolving
// probe asks twice. A tree past the streams' 64 MiB limit is refused after one
// request, whatever it holds.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "DQDirectPrinterURLResolver.h"
#include "DQNEXASession.h"
#include "NEXAKitBenchSupport.h"
#include "RunLoop/RunLoop.h"

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// Serves a tree of `size` bytes, streamed from one shared piece so that the
// server holds no copy of it; the first `accepted` answers are 202.
class LargeTreePrinter {
 public:
  LargeTreePrinter(std::size_t size, int accepted)
      : piece_(kMiB, 'x'), server_([this, size, accepted](httplib::Server& server) {
          server.Get("/DevMgmt/DiscoveryTree.xml", [this, size, accepted](const httplib::Request&, httplib::Response& response) {
            response.status = requests_++ < accepted ? 202 : 200;
            response.set_content_provider(size, "text/xml", [this](size_t, size_t length, httplib::DataSink& sink) {
              return sink.write(piece_.data(), std::min(length, piece_.size()));
            });
          });
        }) {}
  platform::Url url() const { return *platform::Url::fromString(server_.url("/")); }
  int requests() const { return requests_.load(); }

 private:
  const std::string piece_;
  std::atomic<int> requests_{0};
  nexabench::LoopbackServer server_;
};

std::size_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;  // small chunks and mapped ones
}

// Samples the heap on a thread of its own until destroyed; keeps the peak.
class HeapPeak {
 public:
  HeapPeak() : base_(heapInUse()), thread_([this] {
      while (!stop_.load()) {
        peak_ = std::max(peak_.load(), heapInUse());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }) {}
  ~HeapPeak() { finish(); }
  // Bytes above the heap at construction.
  std::size_t finish() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    return peak_.load() > base_ ? peak_.load() - base_ : 0;
  }

 private:
  const std::size_t base_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> peak_{0};
  std::thread thread_;
};

// Resolves a session whose printer is reached at `base`, so that the
// resolving operation probes its tree; true when it resolved.
bool resolve(const platform::Url& base) {
  auto session = DQNEXASession::make(base, std::nullopt, false, true, nullptr);
  session->setResolverFactory([base](const std::optional<platform::Url>& uri) {
    return std::make_shared<DQDirectPrinterURLResolver>(*uri, platform::Dictionary{{"AccessURLs", platform::Array{base}}});
  });
  bool answered = false;
  bool resolved = false;
  session->schedulePrinterResolve([&](const std::optional<platform::Dictionary>&, const platform::ErrorPtr& error) {
    answered = true;
    resolved = !error;
  });
  while (!answered) platform::RunLoop::main().runOnce(true);
  return resolved;
}

// Arg 0: tree size in MiB; arg 1: how many 202 answers come first.
void BM_ResolvePeakHeapForALargeTree(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  std::size_t worst = 0;
  int requests = 0;
  bool resolved = false;
  for (auto _ : state) {
    LargeTreePrinter printer(size, static_cast<int>(state.range(1)));
    HeapPeak peak;
    resolved = resolve(printer.url());
    worst = std::max(worst, peak.finish());
    requests = printer.requests();
  }
  state.counters["body_MiB"] = static_cast<double>(size) / kMiB;
  state.counters["peak_MiB"] = static_cast<double>(worst) / kMiB;
  state.counters["peak_per_body"] = static_cast<double>(worst) / static_cast<double>(size);
  state.counters["requests"] = requests;
  state.counters["resolved"] = resolved;
}
BENCHMARK(BM_ResolvePeakHeapForALargeTree)
    ->Args({32, 0})
    ->Args({32, 1})
    ->Args({200, 0})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
