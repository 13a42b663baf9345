// The cost of one hop to the main queue: a block posted from another thread
// and run on the main run loop.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "Dispatch/DispatchQueue.h"
#include "RunLoop/RunLoop.h"

using namespace platform;

static void BM_MainQueueHopFromAnotherThread(benchmark::State& state) {
  RunLoop mainLoop = RunLoop::main();
  auto mainQueue = DispatchQueue::main();
  // A poster thread that stays up: each round it posts one block when asked.
  std::atomic<long> requested{0};
  std::atomic<bool> stop{false};
  std::thread poster([&] {
    long posted = 0;
    while (!stop.load()) {
      if (requested.load() == posted) {
        std::this_thread::yield();
        continue;
      }
      ++posted;
      mainQueue->async([] {});
    }
  });
  for (auto _ : state) {
    requested.fetch_add(1);
    while (!mainLoop.runOnce(true)) {
    }
  }
  stop.store(true);
  poster.join();
}
BENCHMARK(BM_MainQueueHopFromAnotherThread)->UseRealTime();

// Many blocks posted from a worker thread, drained by the main run loop.
static void BM_MainQueueThroughput(benchmark::State& state) {
  RunLoop mainLoop = RunLoop::main();
  auto mainQueue = DispatchQueue::main();
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::atomic<int> ran{0};
    std::thread poster([&] {
      for (int i = 0; i < count; ++i) mainQueue->async([&] { ran.fetch_add(1, std::memory_order_relaxed); });
    });
    while (ran.load() < count) mainLoop.runOnce(true);
    poster.join();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_MainQueueThroughput)->Arg(1000)->UseRealTime();
