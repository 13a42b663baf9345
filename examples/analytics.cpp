// The analytics library sending for real, to a collector of its own on
// 127.0.0.1: the application's calls (shared client, tracking and client
// ids, the default tracker, a few events), then a dispatch. It prints what
// the pending-request store holds before and after, and every hit the
// collector received. No hit leaves the machine.
#include <httplib.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ALKActivityStore.h"
#include "ALKClient.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementConfig.h"
#include "ALKTracker.h"
#include "RunLoop/RunLoop.h"
#include "System/AppIdentity.h"

namespace {

// Records the target of every hit and answers 200. Any thread.
class Collector {
 public:
  Collector() {
    server_.Get("/collect", [this](const httplib::Request& request, httplib::Response& response) {
      record(request.method + " " + request.target);
      response.status = 200;
    });
    server_.Post("/collect", [this](const httplib::Request& request, httplib::Response& response) {
      record(request.method + " " + request.target + " " + request.body);
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
  std::vector<std::string> hits() const {
    std::lock_guard lock(mutex_);
    return hits_;
  }

 private:
  void record(std::string hit) {
    std::lock_guard lock(mutex_);
    hits_.push_back(std::move(hit));
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;  // guards hits_
  std::vector<std::string> hits_;
};

void printStore(const char* when, const std::string& path) {
  const auto rows = ALKActivityStore::countActivityRequestsInFile(path);
  std::printf("Store %s: %zu pending hit(s) in %s\n", when, rows.value_or(0), path.c_str());
}

}  // namespace

int main() {
  // The collector is on loopback: never through a proxy.
  setenv("NO_PROXY", "127.0.0.1", 1);
  char folder[] = "/tmp/analytics-example.XXXXXX";
  if (!mkdtemp(folder)) return 1;
  auto& identity = platform::AppIdentity::shared();
  identity.setCachesDirectory(folder);
  identity.setBundleIdentifier("com.example.analytics");
  identity.setName("AnalyticsExample");
  identity.setShortVersion("1.0");
  Collector collector;

  const auto client = ALKClient::sharedClient();
  client->setTrackingId("UA-10000000-1");
  client->setClientId("35009a79-1a05-49d7-b876-2b884d0f825b");
  const auto tracker = client->defaultTracker();
  const auto config = tracker->config();
  config->setValue(true, ALKMeasurementConfig::kShouldAnonymizeIPKey);
  ALKMeasurementConfig(*config).setURLStringEndPoint(collector.endPoint());
  config->setRateLimit(10);

  for (const char* action : {"open", "print", "scan"}) {
    tracker->sendActivity(ALKMeasurementActivity::eventActivity("document", action, "example", 1));
  }
  const std::string path = config->pendingRequestsURL()->filePath();
  const auto main = platform::RunLoop::main();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  // The store is written on a thread of its own: look every few milliseconds.
  auto waitFor = [&](const std::function<bool()>& done) {
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      main.runUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
    }
  };
  waitFor([&] { return ALKActivityStore::countActivityRequestsInFile(path).value_or(0) == 3; });
  printStore("before the dispatch", path);

  client->dispatch();
  waitFor([&] {
    return collector.hits().size() == 3 && ALKActivityStore::countActivityRequestsInFile(path).value_or(1) == 0;
  });
  printStore("after the dispatch", path);
  for (const auto& hit : collector.hits()) std::printf("Collector received: %s\n", hit.c_str());

  client->close();
  ALKClient::resetSharedClient();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return collector.hits().size() == 3 ? 0 : 1;
}
