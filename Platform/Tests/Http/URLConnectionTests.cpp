#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "Http/URLConnection.h"
#include "LoopbackHttpServer.h"
#include "RunLoop/RunLoop.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Generous bound for waits that should end far sooner; never a verdict on speed.
constexpr auto kPatience = 10s;

struct Outcome {
  bool ended = false;
  long status = 0;
  ErrorPtr error;
};

class URLConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("NO_PROXY", "127.0.0.1,localhost", 1); }

  static URLConnection::Request get(const std::string& url, double timeout = 10) {
    URLConnection::Request request;
    request.url = url;
    request.timeout = timeout;
    return request;
  }
  static URLConnection::Request post(const std::string& url, const std::string& body) {
    URLConnection::Request request = get(url);
    request.method = "POST";
    request.body = body;
    return request;
  }
  // One exchange on the main run loop, waited for.
  static Outcome exchange(URLConnection::Request request) {
    Outcome outcome;
    URLConnection connection(std::move(request), RunLoop::main(), [&](long status, ErrorPtr error) {
      outcome = {true, status, std::move(error)};
    });
    EXPECT_TRUE(connection.start());
    RunLoop::main().runUntil([&] { return outcome.ended; }, kPatience);
    return outcome;
  }
  // Turns the main run loop in short steps, for what the server's threads
  // see: they do not wake it.
  static void turnUntil(const std::function<bool()>& done) {
    const auto deadline = RunLoop::Clock::now() + kPatience;
    while (!done() && RunLoop::Clock::now() < deadline) RunLoop::main().runUntil(RunLoop::Clock::now() + 5ms);
  }
};

TEST_F(URLConnectionTest, ExchangesInARowShareOneConnectionUntilTheServerEndsIt) {
  LoopbackHttpServer server([](const LoopbackHttpServer::Request& request) {
    return LoopbackHttpServer::Answer{.status = request.target == "/created" ? 201 : 200,
                                      .close = request.target == "/last",
                                      .closeSilently = request.target == "/quiet"};
  });
  EXPECT_EQ(exchange(get(server.url("/a"))).status, 200);
  EXPECT_EQ(exchange(post(server.url("/created"), "x=1&y=2")).status, 201);
  EXPECT_EQ(server.connections(), 1);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].body, "x=1&y=2");

  // A server that announces the end, and one that just closes the idle
  // connection: the next exchange opens a new one and succeeds.
  EXPECT_EQ(exchange(get(server.url("/last"))).status, 200);
  EXPECT_EQ(exchange(get(server.url("/quiet"))).status, 200);
  EXPECT_EQ(server.connections(), 2);
  turnUntil([&] { return server.openConnections() == 0; });
  const Outcome afterClose = exchange(get(server.url("/b")));
  EXPECT_EQ(afterClose.status, 200);
  EXPECT_FALSE(afterClose.error);
  EXPECT_EQ(server.connections(), 3);
}

TEST_F(URLConnectionTest, RedirectsAreFollowedUpToTen) {
  LoopbackHttpServer server([](const LoopbackHttpServer::Request& request) {
    const int left = std::atoi(request.target.c_str() + 5);  // "/hop/N"
    if (left == 0) return LoopbackHttpServer::Answer{.status = 204};
    return LoopbackHttpServer::Answer{.status = 302, .location = "/hop/" + std::to_string(left - 1)};
  });
  const Outcome ten = exchange(get(server.url("/hop/10")));
  EXPECT_EQ(ten.status, 204);
  EXPECT_FALSE(ten.error);

  const Outcome eleven = exchange(get(server.url("/hop/11")));
  EXPECT_EQ(eleven.status, 0);
  ASSERT_TRUE(eleven.error);
  EXPECT_TRUE(eleven.error->is(Error::kURLErrorDomain, -1007));  // too many redirects
  EXPECT_EQ(server.requests().size(), 11u + 11u);
}

TEST_F(URLConnectionTest, ASelfSignedServerIsRefused) {
  char pattern[] = "/tmp/URLConnectionTest.XXXXXX";
  ASSERT_TRUE(mkdtemp(pattern));
  const std::string folder = pattern;
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost "
      "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " + folder + "/key.pem -out " + folder +
      "/cert.pem > /dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << "openssl could not make a certificate";
  httplib::SSLServer server((folder + "/cert.pem").c_str(), (folder + "/key.pem").c_str());
  std::atomic<int> answered{0};
  server.Get("/collect", [&](const httplib::Request&, httplib::Response& response) {
    ++answered;
    response.status = 200;
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(1ms);

  for (const std::string host : {"127.0.0.1", "localhost"}) {
    const Outcome outcome = exchange(get("https://" + host + ":" + std::to_string(port) + "/collect"));
    EXPECT_EQ(outcome.status, 0) << host;
    ASSERT_TRUE(outcome.error) << host;
    EXPECT_TRUE(outcome.error->is(Error::kURLErrorDomain, -1202)) << host;  // certificate untrusted
  }
  EXPECT_EQ(answered.load(), 0);
  server.stop();
  serving.join();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

TEST_F(URLConnectionTest, CancelOrDestructionEndsTheExchangeAndDropsItsConnection) {
  // "/slow" is answered only once its client has gone: nothing but the cancel
  // or the destruction ends its exchange.
  LoopbackHttpServer server([](const LoopbackHttpServer::Request& request) {
    return LoopbackHttpServer::Answer{.delay = request.target == "/slow" ? 60s : 0ms};
  });
  bool called = false;
  {
    URLConnection cancelled(get(server.url("/slow")), RunLoop::main(), [&](long, ErrorPtr) { called = true; });
    ASSERT_TRUE(cancelled.start());
    turnUntil([&] { return !server.requests().empty(); });
    cancelled.cancel();
    auto destroyed = std::make_unique<URLConnection>(get(server.url("/slow")), RunLoop::main(),
                                                     [&](long, ErrorPtr) { called = true; });
    ASSERT_TRUE(destroyed->start());
    turnUntil([&] { return server.requests().size() == 2; });
    destroyed.reset();
  }
  // Half-way exchanges leave no connection to be taken again.
  turnUntil([&] { return server.openConnections() == 0; });
  EXPECT_EQ(server.openConnections(), 0);
  RunLoop::main().runUntil(RunLoop::Clock::now() + 400ms);
  EXPECT_FALSE(called);

  // A connection may go inside its own completion.
  Outcome outcome;
  std::unique_ptr<URLConnection> connection;
  connection = std::make_unique<URLConnection>(get(server.url("/fast")), RunLoop::main(),
                                                    [&](long status, ErrorPtr error) {
                                                      outcome = {true, status, std::move(error)};
                                                      connection.reset();
                                                    });
  ASSERT_TRUE(connection->start());
  turnUntil([&] { return outcome.ended; });
  EXPECT_EQ(outcome.status, 200);
  EXPECT_FALSE(connection);
}

}  // namespace
