// A small document from a loopback printer: requested through a NEXA session
// (uncached: a new access operation per request on the session's queue, its
// completion on the main queue; cached: answered from the session's cache),
// against plain GETs through a URL connection on a run-loop operation.
#include <benchmark/benchmark.h>

#include "DQNEXASession.h"
#include "Dispatch/OperationQueue.h"
#include "NEXAKitBenchSupport.h"
#include "RunLoop/RunLoop.h"

namespace {

constexpr const char* kDocument =
    "<?xml version=\"1.0\"?><ps:Status xmlns:ps=\"urn:example:nexa:status\"><ps:State>ready</ps:State></ps:Status>";
constexpr int kRequests = 1000;

nexabench::LoopbackServer& printer() {
  static nexabench::LoopbackServer server({{"/DevMgmt/Status.xml", {kDocument, "text/xml"}}});
  return server;
}

std::shared_ptr<DQNEXASession> makeSession() {
  return DQNEXASession::make(std::nullopt, platform::Url::fromString(printer().url("/")), false, true, nullptr);
}

// Schedules through `schedule` and spins the main run loop until answered.
bool request(const std::function<void(DQNEXASession::RequestCompletion)>& schedule) {
  bool answered = false;
  bool succeeded = false;
  schedule([&](const platform::ObjectPtr& result, const platform::ErrorPtr& error) {
    answered = true;
    succeeded = result && !error;
  });
  while (!answered) platform::RunLoop::main().runOnce(true);
  return succeeded;
}

}  // namespace

static void BM_SessionUncachedRequest(benchmark::State& state) {
  auto session = makeSession();
  for (auto _ : state) {
    if (!request([&](auto completion) {
          session->scheduleDataRetrievingForPath("DevMgmt/Status.xml", DQNEXAResultClass::XMLDocument(), completion);
        })) {
      state.SkipWithError("request failed");
      break;
    }
  }
}
BENCHMARK(BM_SessionUncachedRequest)->Iterations(kRequests)->UseRealTime()->Unit(benchmark::kMicrosecond);

static void BM_SessionCachedRequest(benchmark::State& state) {
  auto session = makeSession();
  session->registerDataRetrievingRequest("status", "DevMgmt/Status.xml", DQNEXAResultClass::XMLDocument(), 3, true);
  auto schedule = [&](auto completion) { session->scheduleRequestRegisteredWithName("status", completion); };
  if (!request(schedule)) state.SkipWithError("request failed");
  for (auto _ : state) {
    if (!request(schedule)) {
      state.SkipWithError("request failed");
      break;
    }
  }
}
BENCHMARK(BM_SessionCachedRequest)->Iterations(kRequests)->UseRealTime()->Unit(benchmark::kMicrosecond);

static void BM_PlainConnectionGet(benchmark::State& state) {
  const auto url = *platform::Url::fromString(printer().url("/DevMgmt/Status.xml"));
  platform::OperationQueue queue("bench.plain");
  queue.setMaxConcurrentOperationCount(1);
  for (auto _ : state) {
    auto operation = std::make_shared<nexabench::FetchOperation>(url);
    queue.addOperation(operation);
    operation->waitUntilFinished();
    if (!operation->consumer || operation->consumer->responseStatusCode() != 200) {
      state.SkipWithError("request failed");
      break;
    }
  }
}
BENCHMARK(BM_PlainConnectionGet)->Iterations(kRequests)->UseRealTime()->Unit(benchmark::kMicrosecond);
