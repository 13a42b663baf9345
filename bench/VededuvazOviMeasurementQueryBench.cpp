// The query of a typical event hit (the application's parameters at
// realistic lengths) against a plain loop that percent-escapes and joins the
// same pairs, at the default log level (nothing written).
#include <benchmark/benchmark.h>

#include <utility>
#include <vector>

#include "ALKGAMeasurementActivityDescription.h"
#include "ALKLogger.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementURLQuery.h"
#include "Values/Url.h"

namespace {

std::shared_ptr<ALKActivity> typicalEvent() {
  auto activity = ALKMeasurementActivity::eventActivity("SoftwareDownload", "Download", "Printer Driver 5.1.2 (macOS 14)", 1);
  ALKMeasurementActivity hit(*activity);
  hit.setProtocolVersion(1);
  hit.setTrackingId("UA-10000000-1");
  hit.setClientId("6F9619FF-8B86-D011-B42D-00C04FC964FF");
  hit.setShouldAnonymizeIP(true);
  hit.setAppName("Software Download Tool");
  hit.setAppVersion("3.2.1");
  hit.setApplicationIdentifier("com.example.SoftwareDownloadTool");
  hit.setDocumentEncoding("UTF-8");
  hit.setUserLanguage("en_US");
  hit.setQueueTime(1532);
  hit.setCacheBuster(platform::Value(742519377123));
  return activity;
}

// The pairs the builder writes for typicalEvent(), as text.
const std::vector<std::pair<std::string, std::string>> kPairs = {
    {"t", "event"},
    {"ec", "SoftwareDownload"},
    {"ea", "Download"},
    {"el", "Printer Driver 5.1.2 (macOS 14)"},
    {"ev", "1"},
    {"v", "1"},
    {"tid", "UA-10000000-1"},
    {"cid", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
    {"aip", "1"},
    {"an", "Software Download Tool"},
    {"av", "3.2.1"},
    {"aid", "com.example.SoftwareDownloadTool"},
    {"de", "UTF-8"},
    {"ul", "en_US"},
    {"qt", "1532"},
    {"z", "742519377123"},
};

}  // namespace

static void BM_PlainEscapeAndJoin(benchmark::State& state) {
  for (auto _ : state) {
    std::string query;
    for (const auto& [name, value] : kPairs) {
      if (!query.empty()) query += '&';
      query += name;
      query += '=';
      query += platform::Url::percentEncode(value);
    }
    benchmark::DoNotOptimize(query);
  }
}
BENCHMARK(BM_PlainEscapeAndJoin);

static void BM_MeasurementQueryOfAnEvent(benchmark::State& state) {
  ALKLogger::setSharedLogger(nullptr);
  const auto descriptions = ALKGAMeasurementActivityDescription::supportedDescriptions();
  const auto activity = typicalEvent();
  const auto query = ALKMeasurementURLQuery::queryWithActivity(activity, descriptions);
  const ALKMeasurementURLQuery& builder = *query;
  std::string expected;
  for (const auto& [name, value] : kPairs) {
    expected += (expected.empty() ? "" : "&") + name + "=" + platform::Url::percentEncode(value);
  }
  if (builder.queryWithError(nullptr) != expected) state.SkipWithError("the builder wrote other pairs");
  for (auto _ : state) {
    benchmark::DoNotOptimize(builder.queryWithError(nullptr));
  }
}
BENCHMARK(BM_MeasurementQueryOfAnEvent);
