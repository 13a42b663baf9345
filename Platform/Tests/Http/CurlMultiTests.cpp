#include <gtest/gtest.h>
#include <stdlib.h>

#include <future>
#include <map>
#include <memory>
#include <vector>

#include "Http/CurlMulti.h"
#include "LoopbackHttpServer.h"
#include "RunLoop/RunLoop.h"
#include "RunLoop/RunLoopThread.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Generous bound for waits that should end far sooner; never a verdict on speed.
constexpr auto kPatience = 10s;

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// An easy handle for a GET of `url`, cleaned up with the object.
class Easy {
 public:
  explicit Easy(const std::string& url) : handle_(curl_easy_init()) { setURL(url); }
  ~Easy() { curl_easy_cleanup(handle_); }
  Easy(const Easy&) = delete;
  Easy& operator=(const Easy&) = delete;
  void setURL(const std::string& url) {
    curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
  }
  CURL* get() const { return handle_; }

 private:
  CURL* handle_;
};

class CurlMultiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("NO_PROXY", "127.0.0.1", 1);
    CurlMulti::initializeCurl();
  }
  static void turnUntil(const std::function<bool()>& done) { RunLoop::main().runUntil(done, kPatience); }
};

TEST_F(CurlMultiTest, EachTransferEndsOnceWithItsOwnCompletionOrTheMultis) {
  LoopbackHttpServer server;
  std::vector<std::pair<CURL*, CURLcode>> ownEnds;
  std::vector<std::pair<CURL*, CURLcode>> multiEnds;
  CurlMulti multi(RunLoop::main(), [&](CURL* easy, CURLcode result) { multiEnds.emplace_back(easy, result); });
  Easy own(server.url("/own"));
  Easy plain(server.url("/plain"));
  Easy removed(server.url("/removed"));
  ASSERT_TRUE(multi.add(own.get(), [&](CURL* easy, CURLcode result) { ownEnds.emplace_back(easy, result); }));
  ASSERT_TRUE(multi.add(plain.get()));
  EXPECT_FALSE(multi.add(plain.get()));  // already added
  ASSERT_TRUE(multi.add(removed.get()));
  multi.remove(removed.get());
  turnUntil([&] { return multi.isEmpty(); });
  RunLoop::main().runUntil(RunLoop::Clock::now() + 100ms);

  ASSERT_EQ(ownEnds.size(), 1u);
  EXPECT_EQ(ownEnds[0], std::make_pair(own.get(), CURLE_OK));
  ASSERT_EQ(multiEnds.size(), 1u);
  EXPECT_EQ(multiEnds[0], std::make_pair(plain.get(), CURLE_OK));
  EXPECT_EQ(server.requests().size(), 2u);
}

// Two transfers that end in one turn of curl (both URLs are refused before
// any socket): the first completion starts the other handle again, and that
// new transfer must run and end on its own, not take the earlier result.
TEST_F(CurlMultiTest, AHandleStartedAgainInsideACompletionRunsItsNewTransfer) {
  LoopbackHttpServer server;
  CurlMulti multi(RunLoop::main(), {});
  Easy first("http://127.0.0.1:99999/");
  Easy second("http://127.0.0.1:99999/");
  std::map<CURL*, CURLcode> firstEnds;
  std::vector<CURLcode> restartedEnds;
  auto record = [&](CURL* easy, CURLcode result) {
    firstEnds[easy] = result;
    if (firstEnds.size() > 1) return;
    Easy& other = easy == first.get() ? second : first;
    multi.remove(other.get());
    other.setURL(server.url("/again"));
    multi.add(other.get(), [&](CURL*, CURLcode again) { restartedEnds.push_back(again); });
  };
  ASSERT_TRUE(multi.add(first.get(), record));
  ASSERT_TRUE(multi.add(second.get(), record));
  turnUntil([&] { return multi.isEmpty(); });

  ASSERT_EQ(firstEnds.size(), 1u);
  EXPECT_EQ(firstEnds.begin()->second, CURLE_URL_MALFORMAT);
  EXPECT_EQ(restartedEnds, std::vector<CURLcode>{CURLE_OK});
  EXPECT_EQ(server.requests().size(), 1u);
}

// The shared multi handle is one per run loop: transfers of a run loop share
// its connections, another run loop has its own, and a run loop that goes
// closes the connections of its multi handle.
TEST_F(CurlMultiTest, TheSharedMultiKeepsConnectionsPerRunLoopUntilTheRunLoopGoes) {
  LoopbackHttpServer server;
  EXPECT_EQ(&CurlMulti::shared(RunLoop::main()), &CurlMulti::shared(RunLoop::main()));
  auto getTwice = [&](const RunLoop& runLoop) {
    Easy easy(server.url("/twice"));
    CurlMulti& shared = CurlMulti::shared(runLoop);
    for (int round = 0; round < 2; ++round) {
      bool ended = false;
      EXPECT_TRUE(shared.add(easy.get(), [&](CURL*, CURLcode result) {
        EXPECT_EQ(result, CURLE_OK);
        ended = true;
      }));
      runLoop.runUntil([&] { return ended; }, kPatience);
    }
    return &shared;
  };
  {
    RunLoopThread thread("curl-multi-test");
    std::promise<CurlMulti*> threadShared;
    thread.runLoop().perform([&] { threadShared.set_value(getTwice(RunLoop::current())); });
    CurlMulti* ofThread = threadShared.get_future().get();
    EXPECT_NE(ofThread, &CurlMulti::shared(RunLoop::main()));
    EXPECT_EQ(server.connections(), 1);

    getTwice(RunLoop::main());
    EXPECT_EQ(server.connections(), 2);
    EXPECT_EQ(server.openConnections(), 2);
  }
  // The thread's run loop went, and its connection with it; the main run
  // loop's stays open for the next transfer.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (server.openConnections() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(server.openConnections(), 1);
}

}  // namespace
