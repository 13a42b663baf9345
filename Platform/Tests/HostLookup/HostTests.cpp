#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <string>

#include "HostLookup/Host.h"
#include "RunLoop/RunLoop.h"

using namespace platform;
using namespace std::chrono_literals;

// The host itself runs on one thread. The lookups' results are tested through
// the host-name resolver of the printer library.
TEST(HostTest, NoCallbackAfterCancelOrDestructionEvenWhenTheResultIsQueued) {
  RunLoop loop = RunLoop::current();
  int calls = 0;
  auto count = [&](Host&, Host::InfoType, const ErrorPtr&) { ++calls; };
  auto host = Host::withName("localhost");
  host->setClient(count);
  // GLib answers "localhost" itself: its result is queued before the first turn.
  ASSERT_TRUE(host->startInfoResolution(Host::InfoType::Addresses));
  ErrorPtr error;
  EXPECT_FALSE(host->startInfoResolution(Host::InfoType::Addresses, &error));  // one at a time
  EXPECT_FALSE(host->startInfoResolution(Host::InfoType::Names, &error));      // no address to start from
  EXPECT_NE(error, nullptr);
  host->cancelInfoResolution(Host::InfoType::Addresses);

  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&loopback);
  auto reverse = Host::withAddress(Data(bytes, bytes + sizeof(loopback)));
  reverse->setClient(count);
  ASSERT_TRUE(reverse->startInfoResolution(Host::InfoType::Names));
  reverse.reset();

  loop.runUntil(std::chrono::steady_clock::now() + 200ms);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(host->addresses());
  EXPECT_EQ(Host::withAddress(Data{1, 2, 3}), nullptr);

  // A cancelled host looks up again.
  ASSERT_TRUE(host->startInfoResolution(Host::InfoType::Addresses));
  EXPECT_TRUE(loop.runUntil([&] { return calls == 1; }, 10s));
  EXPECT_TRUE(host->addresses());
}
