// The stored form of a typical event activity (10 string properties, 3
// numbers): archiving it for the store and reading it back.
#include <benchmark/benchmark.h>

#include "ALKActivity.h"
#include "ALKActivityToDataTransformer.h"

namespace {

std::shared_ptr<ALKActivity> eventActivity() {
  auto activity = std::make_shared<ALKActivity>();
  const char* strings[][2] = {{"activityType", "Event"},
                              {"eventCategory", "SoftwareDownload"},
                              {"eventAction", "Download"},
                              {"eventLabel", "Printer Driver 5.1.2"},
                              {"applicationName", "Printer Tools"},
                              {"applicationVersion", "3.4.1"},
                              {"clientId", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
                              {"trackingId", "UA-10000000-1"},
                              {"userLanguage", "en-us"},
                              {"hitType", "event"}};
  for (const auto& [key, value] : strings) activity->setValue(value, key);
  activity->setValue(ALKActivity::currentTimestamp(), "timestamp");
  activity->setValue(42, "eventValue");
  activity->setValue(true, "nonInteraction");
  return activity;
}

// A hostile stored form: properties that refer to one chain of arrays, 18
// deep, each holding the next one twice (about 786,000 values once every use
// is counted, in well under a kilobyte).
std::shared_ptr<ALKActivity> sharedChainActivity() {
  platform::Value chain("leaf");
  platform::Value below;
  for (int i = 0; i < 18; ++i) {
    below = chain;
    chain = platform::Value(platform::Array{chain, chain});
  }
  auto activity = std::make_shared<ALKActivity>();
  activity->setValue("Event", "activityType");
  activity->setValue(chain, "a");
  activity->setValue(below, "b");
  return activity;
}

// What the keyed-archive fuzz target does with an input: read it back and
// archive the activity again.
void rearchive(benchmark::State& state, const std::shared_ptr<ALKActivity>& original) {
  const ALKActivityToDataTransformer transformer;
  const platform::Value data = transformer.transformedValue(platform::Value(original));
  std::size_t bytes = 0;
  for (auto _ : state) {
    platform::Value again = transformer.transformedValue(transformer.reverseTransformedValue(data));
    if (!again.data()) state.SkipWithError("not archived again");
    bytes = again.data()->size();
    benchmark::DoNotOptimize(again);
  }
  state.counters["input_bytes"] = static_cast<double>(data.data()->size());
  state.counters["archive_bytes"] = static_cast<double>(bytes);
}

}  // namespace

static void BM_ArchiveEventActivity(benchmark::State& state) {
  const ALKActivityToDataTransformer transformer;
  const platform::Value activity(eventActivity());
  std::size_t bytes = 0;
  for (auto _ : state) {
    platform::Value data = transformer.transformedValue(activity);
    bytes = data.data()->size();
    benchmark::DoNotOptimize(data);
  }
  state.counters["archive_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ArchiveEventActivity);

static void BM_UnarchiveEventActivity(benchmark::State& state) {
  const ALKActivityToDataTransformer transformer;
  const platform::Value data = transformer.transformedValue(platform::Value(eventActivity()));
  for (auto _ : state) {
    platform::Value activity = transformer.reverseTransformedValue(data);
    if (!activity.objectAs<ALKActivity>()) state.SkipWithError("not decoded");
    benchmark::DoNotOptimize(activity);
  }
}
BENCHMARK(BM_UnarchiveEventActivity);

// The baseline: the typical activity, read back and archived again.
static void BM_RearchiveEventActivity(benchmark::State& state) { rearchive(state, eventActivity()); }
BENCHMARK(BM_RearchiveEventActivity);

static void BM_RearchiveSharedChainActivity(benchmark::State& state) { rearchive(state, sharedChainActivity()); }
BENCHMARK(BM_RearchiveSharedChainActivity);
