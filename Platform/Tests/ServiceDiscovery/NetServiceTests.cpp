#include <gtest/gtest.h>

#include <netinet/in.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>

#include "Simulation/ServiceDiscovery/FakeServiceBackend.h"
#include "ServiceDiscovery/NetService.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 10s;

struct Recorder : NetServiceDelegate {
  int resolved = 0;
  int notResolved = 0;
  ErrorPtr error;
  void netServiceDidResolveAddress(NetService&) override { ++resolved; }
  void netServiceDidNotResolve(NetService&, const ErrorPtr& e) override {
    ++notResolved;
    error = e;
  }
  int calls() const { return resolved + notResolved; }
};

ResolvedService printer() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(0x0A630001);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  return {"printer.local", 631, {Data(bytes, bytes + sizeof(address))}, Dictionary{{"usb_SN", Data{'X', '1'}}}};
}

class NetServiceTest : public ::testing::Test {
 protected:
  std::shared_ptr<NetService> service(const std::string& name) {
    auto made = std::make_shared<NetService>("local", "_ipp._tcp", name, backend);
    made->setDelegate(recorder);
    return made;
  }
  RunLoop loop = RunLoop::current();
  std::shared_ptr<FakeServiceBackend> backend = std::make_shared<FakeServiceBackend>();
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

}  // namespace

TEST_F(NetServiceTest, ReportsWhatTheBackEndFoundOnce) {
  backend->addService("Printer", "_ipp._tcp", "local", printer());
  auto netService = service("Printer");
  netService->resolveWithTimeout(30);
  ASSERT_TRUE(loop.runUntil([&] { return recorder->calls() > 0; }, kPatience));
  EXPECT_EQ(recorder->resolved, 1);
  EXPECT_EQ(netService->hostName(), "printer.local");
  EXPECT_EQ(netService->port(), 631);
  EXPECT_EQ(netService->addresses().size(), 1u);
  EXPECT_EQ(netService->TXTRecord().objectForKey("usb_SN"), Value(Data{'X', '1'}));
  // A short time limit and the answer: whichever comes first is reported,
  // and the other never is, even once the limit has passed. A service
  // destroyed while it resolves is silent.
  auto limited = service("Printer");
  limited->resolveWithTimeout(0.05);
  service("Printer")->resolveWithTimeout(0.05);
  ASSERT_TRUE(loop.runUntil([&] { return recorder->calls() > 1; }, kPatience));
  loop.runUntil(std::chrono::steady_clock::now() + 300ms);
  EXPECT_EQ(recorder->calls(), 2);
  EXPECT_EQ(backend->resolutionCount(), 3);
}

TEST_F(NetServiceTest, AvahiWithoutADaemonDoesNotResolve) {
  const char* old = getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string saved = old ? old : "";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus.sock", 1);
  auto netService = std::make_shared<NetService>("local", "_ipp._tcp", "Printer");
  netService->setDelegate(recorder);
  netService->resolveWithTimeout(30);
  EXPECT_TRUE(loop.runUntil([&] { return recorder->calls() > 0; }, kPatience));
  EXPECT_EQ(recorder->notResolved, 1);
  EXPECT_TRUE(recorder->error->is(NetService::kErrorDomain, NetService::kUnknownError));
  if (old) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
  } else {
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
}
