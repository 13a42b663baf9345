#pragma once

// Shared by the printer library's network benchmarks: a loopback HTTP server
// with fixed bodies, and one GET through a URL connection on a run-loop
// operation.

#include <httplib.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "DQNetworkHTTPStreamProvider.h"
#include "DQRunLoopOperation.h"
#include "DQURLConnection.h"
#include "DQURLDataAccumulationConsumer.h"
#include "Values/Url.h"

namespace nexabench {

// Serves on 127.0.0.1 until destroyed.
class LoopbackServer {
 public:
  // What `routes` sets up on the server; returns once it listens.
  explicit LoopbackServer(const std::function<void(httplib::Server&)>& routes) {
    routes(server_);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Each body (text, content type) at its path.
  explicit LoopbackServer(const std::map<std::string, std::pair<std::string, std::string>>& bodies)
      : LoopbackServer([&bodies](httplib::Server& server) {
          for (const auto& [path, body] : bodies) {
            server.Get(path, [body](const httplib::Request&, httplib::Response& response) {
              response.set_content(body.first, body.second);
            });
          }
        }) {}
  ~LoopbackServer() {
    server_.stop();
    thread_.join();
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

 private:
  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
};

// One GET whose body the consumer keeps.
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

}  // namespace nexabench
