// The engine in memory: what sendActivity costs the application's thread at
// the default log level (nothing written), and how many hits per second a
// three-stage pipeline moves when nothing paces it.
#include <benchmark/benchmark.h>

#include <chrono>

#include "ALKAnalyticsRegistry.h"
#include "ALKClient.h"
#include "ALKLogger.h"
#include "ALKQueue.h"
#include "Dispatch/DispatchQueue.h"
#include "RunLoop/RunLoop.h"
#include "VededuvazOviBenchSupport.h"

// The application's call on the main thread: copy, stamp, enqueue, and the
// synchronous reactions (observers, pipeline, tracker, client timer check,
// first stage). The stage's runs are drained outside the timing every 50
// calls, below the default queue limit of 60.
static void BM_SendActivityAtDefaultLogLevel(benchmark::State& state) {
  ALKLogger::setSharedLogger(nullptr);
  ALKAnalyticsRegistry::shared().registerEntry<ALKTracker::Factory>(
      "loggingTrackerWithTrackingId:", [](const std::string& trackingId) {
        auto tracker = std::make_shared<ALKTracker>();
        tracker->config()->setTrackingId(trackingId);
        return tracker;
      });
  auto client = std::make_shared<ALKClient>();
  client->config()->setAnalyticsType("Logging");
  client->setTrackingId("UA-10000000-1");
  const auto tracker = client->defaultTracker();
  const auto activity = eventActivity();
  int sent = 0;
  for (auto _ : state) {
    tracker->sendActivity(activity);
    if (++sent == 50) {
      state.PauseTiming();
      drainMainRunLoop();
      sent = 0;
      state.ResumeTiming();
    }
  }
  drainMainRunLoop();
  client->close();
  ALKAnalyticsRegistry::shared().removeEntry("loggingTrackerWithTrackingId:");
}
BENCHMARK(BM_SendActivityAtDefaultLogLevel);

// Batches of 256 hits through transform -> test -> consumer, unpaced; the
// first stage runs on the main queue (argument 0) or on a serial queue of its
// own, as the store filters do (argument 1).
static void BM_HitsThroughThreeStagePipeline(benchmark::State& state) {
  ALKLogger::setSharedLogger(nullptr);
  constexpr int kBatch = 256;
  const auto firstQueue = state.range(0) == 1 ? platform::DispatchQueue::serial("bench.engine.store") : nullptr;
  auto input = ALKQueue::queue(), middle = ALKQueue::queue(), last = ALKQueue::queue();
  int consumed = 0;
  const auto pipeline = ALKPipeline::pipelineWithFilters(
      {ALKQueueFilter::transformQueueFilterWithInputQueue(input, middle, true, firstQueue, nullptr),
       ALKQueueFilter::testQueueFilterWithInputQueue(middle, last, true, nullptr, nullptr),
       ALKQueueFilter::consumerQueueFilterWithInputQueue(last, true, nullptr, [&](const platform::ObjectPtr&) {
         ++consumed;
         return platform::ObjectPtr();
       })});
  const auto activity = eventActivity();
  for (auto _ : state) {
    consumed = 0;
    for (int i = 0; i < kBatch; ++i) input->enqueueObject(activity);
    platform::RunLoop::main().runUntil([&] { return consumed == kBatch && last->isEmpty(); }, std::chrono::seconds(60));
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  pipeline->close();
  drainMainRunLoop();
}
BENCHMARK(BM_HitsThroughThreeStagePipeline)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
