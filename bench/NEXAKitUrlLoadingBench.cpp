// A GET of a 1 MiB body from a loopback server: through a URL connection on a
// run-loop operation (stream, curl multi handle driven by the operation's run
// loop, accumulating consumer), against a plain libcurl easy transfer of the
// same URL. Each transfer opens a connection of its own in both cases.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <memory>
#include <string>

#include "Dispatch/OperationQueue.h"
#include "NEXAKitBenchSupport.h"
#include "Values/Url.h"

namespace {

constexpr std::size_t kBodySize = 1024 * 1024;

// One server for the whole binary, serving the body at /blob.
class BlobServer {
 public:
  std::string url() const { return server_.url("/blob"); }
  static BlobServer& shared() {
    static BlobServer server;
    return server;
  }

 private:
  nexabench::LoopbackServer server_{{{"/blob", {std::string(kBodySize, 'x'), "application/octet-stream"}}}};
};

using nexabench::FetchOperation;

size_t appendTo(char* bytes, size_t size, size_t count, void* data) {
  auto* body = static_cast<platform::Data*>(data);
  const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
  body->insert(body->end(), begin, begin + size * count);
  return size * count;
}

}  // namespace

static void BM_UrlConnectionOnRunLoopOperation(benchmark::State& state) {
  const auto url = *platform::Url::fromString(BlobServer::shared().url());
  platform::OperationQueue queue("bench.fetch");
  queue.setMaxConcurrentOperationCount(1);
  for (auto _ : state) {
    auto operation = std::make_shared<FetchOperation>(url);
    queue.addOperation(operation);
    operation->waitUntilFinished();
    if (!operation->consumer || operation->consumer->responseData().size() != kBodySize) {
      state.SkipWithError("incomplete body");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_UrlConnectionOnRunLoopOperation)->UseRealTime()->Unit(benchmark::kMicrosecond);

static void BM_PlainCurlEasyTransfer(benchmark::State& state) {
  const std::string url = BlobServer::shared().url();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  for (auto _ : state) {
    platform::Data body;
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &appendTo);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    const CURLcode result = curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    if (result != CURLE_OK || body.size() != kBodySize) {
      state.SkipWithError("incomplete body");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_PlainCurlEasyTransfer)->UseRealTime()->Unit(benchmark::kMicrosecond);
