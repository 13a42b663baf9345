#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <string>

#include "HostLookup/Host.h"
#include "RunLoop/RunLoop.h"
#include "RunLoop/ThreadSanitizer.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 10s;

Data loopbackIPv4() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  return Data(bytes, bytes + sizeof(address));
}

std::string text(const Data& address) {
  sockaddr_storage storage{};
  std::memcpy(&storage, address.data(), std::min(address.size(), sizeof(storage)));
  char buffer[INET6_ADDRSTRLEN] = "";
  if (storage.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr, buffer, sizeof(buffer));
  } else {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr, buffer, sizeof(buffer));
  }
  return buffer;
}

// GLib's resolver hands requests and results to its worker threads through
// GLib's own locks, which ThreadSanitizer cannot see (GLib is not built with
// it); the host itself runs on one thread.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef PLATFORM_TSAN
    GTEST_SKIP() << "GLib's resolver threads are invisible to ThreadSanitizer";
#endif
  }
};

// Counts the callbacks and keeps the last error.
struct Calls {
  int count = 0;
  ErrorPtr error;
  Host::Client client() {
    return [this](Host&, Host::InfoType, const ErrorPtr& e) {
      ++count;
      error = e;
    };
  }
};

}  // namespace

TEST_F(HostTest, LooksUpTheAddressesOfANameAndTheNameOfAnAddress) {
  RunLoop loop = RunLoop::current();
  auto byName = Host::withName("localhost");
  Calls calls;
  byName->setClient(calls.client());
  ASSERT_TRUE(byName->startInfoResolution(Host::InfoType::Addresses));
  EXPECT_EQ(calls.count, 0);  // never from inside the start
  ASSERT_TRUE(loop.runUntil([&] { return calls.count > 0; }, kPatience));
  EXPECT_EQ(calls.error, nullptr);
  ASSERT_TRUE(byName->addresses());
  bool hasIPv4Loopback = false;
  for (const auto& address : *byName->addresses()) hasIPv4Loopback = hasIPv4Loopback || text(address) == "127.0.0.1";
  EXPECT_TRUE(hasIPv4Loopback);

  auto byAddress = Host::withAddress(loopbackIPv4());
  ASSERT_NE(byAddress, nullptr);
  Calls reverse;
  byAddress->setClient(reverse.client());
  ASSERT_TRUE(byAddress->startInfoResolution(Host::InfoType::Names));
  ASSERT_TRUE(loop.runUntil([&] { return reverse.count > 0; }, kPatience));
  EXPECT_EQ(reverse.error, nullptr);
  ASSERT_TRUE(byAddress->names());
  EXPECT_EQ(byAddress->names()->front(), "localhost");
}

TEST_F(HostTest, AFailedLookupReportsItsErrorAndStoresNothing) {
  RunLoop loop = RunLoop::current();
  // A label longer than DNS allows fails before any query leaves the machine.
  auto host = Host::withName(std::string(70, 'a') + ".invalid");
  Calls calls;
  host->setClient(calls.client());
  ASSERT_TRUE(host->startInfoResolution(Host::InfoType::Addresses));
  ASSERT_TRUE(loop.runUntil([&] { return calls.count > 0; }, kPatience));
  EXPECT_NE(calls.error, nullptr);
  EXPECT_FALSE(host->addresses());

  // Nothing to look up from, or the same lookup twice.
  ErrorPtr error;
  EXPECT_FALSE(host->startInfoResolution(Host::InfoType::Names, &error));
  EXPECT_NE(error, nullptr);
  EXPECT_EQ(Host::withAddress(Data{1, 2, 3}), nullptr);
}

TEST_F(HostTest, NoCallbackAfterCancelEvenWhenTheResultIsAlreadyQueued) {
  RunLoop loop = RunLoop::current();
  auto host = Host::withName("localhost");
  Calls calls;
  host->setClient(calls.client());
  // GLib answers "localhost" itself: its result is queued before the first turn.
  ASSERT_TRUE(host->startInfoResolution(Host::InfoType::Addresses));
  host->cancelInfoResolution(Host::InfoType::Addresses);
  loop.runUntil(std::chrono::steady_clock::now() + 200ms);
  EXPECT_EQ(calls.count, 0);
  EXPECT_FALSE(host->addresses());

  // A host destroyed with a lookup running is forgotten by it.
  auto reverse = Host::withAddress(loopbackIPv4());
  Calls reverseCalls;
  reverse->setClient(reverseCalls.client());
  ASSERT_TRUE(reverse->startInfoResolution(Host::InfoType::Names));
  reverse.reset();
  loop.runUntil(std::chrono::steady_clock::now() + 200ms);
  EXPECT_EQ(reverseCalls.count, 0);

  // The host can look up again after a cancel.
  ASSERT_TRUE(host->startInfoResolution(Host::InfoType::Addresses));
  EXPECT_TRUE(loop.runUntil([&] { return calls.count == 1; }, kPatience));
}
