// A GET of a 1 MiB body from a loopback server: through a URL connection on a
// run-loop operation (stream, curl multi handle driven by the operation's run
// loop, accumulating consumer), against a plain libcurl easy transfer of the
// same URL. Each transfer opens a connection of its own in both cases.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

#include "DQNetworkHTTPStreamProvider.h"
#include "DQRunLoopOperation.h"
#include "DQURLConnection.h"
#include "DQURLDataAccumulationConsumer.h"
#include "Dispatch/OperationQueue.h"
#include "Values/Url.h"

namespace {

constexpr std::size_t kBodySize = 1024 * 1024;

// One server for the whole binary, serving the body at /blob.
class BlobServer {
 public:
  BlobServer() : body_(kBodySize, 'x') {
    server_.Get("/blob", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(body_, "application/octet-stream");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~BlobServer() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/blob"; }

  static BlobServer& shared() {
    static BlobServer server;
    return server;
  }

 private:
  std::string body_;
  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
};

class FetchOperation : public DQRunLoopOperation {
 public:
  explicit FetchOperation(platform::Url url) : url_(std::move(url)) {}
  void performOperationTask() override {
    consumer = DQURLDataAccumulationConsumer::make();
    auto connection = DQURLConnection::connectionWithGETRequest(
        url_, DQNetworkHTTPStreamProvider::initUsingProxy(false, true), consumer);
    if (!connection->open(20, nullptr, [this] { return isCancelled(); })) return;
    runUntil([&] { return connection->isLoadingCompleted(); });
    connection->close();
  }
  std::shared_ptr<DQURLDataAccumulationConsumer> consumer;

 private:
  platform::Url url_;
};

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
