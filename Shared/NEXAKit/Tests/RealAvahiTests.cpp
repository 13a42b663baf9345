#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "DQPrinterURLResolver.h"
#include "RunLoop/RunLoopThread.h"
#include "TestSupport.h"

using namespace platform;

namespace {

// Runs a command and gives its exit status and what it printed.
std::pair<int, std::string> run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {-1, ""};
  char buffer[256];
  while (fgets(buffer, sizeof(buffer), pipe)) output += buffer;
  const int status = pclose(pipe);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::optional<Dictionary> resolve(const std::string& uri) {
  auto resolver = DQPrinterURLResolver::resolverWithPrinterURI(Url::fromString(uri));
  bool done = false;
  std::optional<Dictionary> result;
  EXPECT_TRUE(resolver->startResolving([&](const std::optional<Dictionary>& r) {
    done = true;
    result = r;
  }));
  EXPECT_TRUE(RunLoop::current().runUntil([&] { return done; }, std::chrono::seconds(40)));
  return result;
}

}  // namespace

// A private bus and avahi-daemon publish "Sandbox Printer" on pt-avahi.local
// (10.99.0.1 and fd99::1) in a network namespace of their own.
TEST(RealAvahiTest, ResolvesAPublishedServiceThroughTheDaemon) {
  testsupport::TemporaryDirectory directory;
  const std::string script = std::string("bash ") + NEXAKIT_SCRIPTS_DIR + "/avahi-sandbox.sh ";
  const auto [status, output] = run(script + "start " + directory.path() + " 'Sandbox Printer' 8631");
  // Stops the daemon and the bus however the test ends.
  std::shared_ptr<void> stop(nullptr, [&](void*) { run(script + "stop " + directory.path()); });
  if (status == 77) GTEST_SKIP() << output;
  ASSERT_EQ(status, 0) << output;
  {
    testsupport::ScopedEnvironment bus("DBUS_SYSTEM_BUS_ADDRESS", output.c_str());
    const auto result = resolve("dnssd://Sandbox%20Printer._ipp._tcp.local");
    ASSERT_TRUE(result);
    const Array& urls = *result->objectForKey("AccessURLs").array();
    ASSERT_EQ(urls.size(), 3u) << result->description();
    EXPECT_EQ(urls[0].url()->absoluteString(), "http://pt-avahi.local/");
    EXPECT_EQ(urls[1].url()->absoluteString(), "http://[fd99::1]/");
    EXPECT_EQ(urls[2].url()->absoluteString(), "http://10.99.0.1/");
    EXPECT_EQ(result->objectForKey("IPAddresses"), Value(Array{"fd99::1", "10.99.0.1"}));

    // A service nobody publishes: the daemon gives up, and so does the resolver.
    EXPECT_FALSE(resolve("dnssd://Nobody._ipp._tcp.local"));

    // Two threads resolve at once, as a session's queue thread and main do,
    // each making and dropping D-Bus clients of its own, and both finish.
    RunLoopThread other("avahi-resolve");
    for (int round = 0; round < 3; ++round) {
      std::optional<Dictionary> there;
      bool thereDone = false;
      const RunLoop here = RunLoop::current();
      other.runLoop().perform([&] {
        there = resolve("dnssd://Sandbox%20Printer._ipp._tcp.local");
        here.perform([&] { thereDone = true; });
      });
      const auto found = resolve("dnssd://Sandbox%20Printer._ipp._tcp.local");
      ASSERT_TRUE(here.runUntil([&] { return thereDone; }, std::chrono::seconds(40)));
      ASSERT_TRUE(found && there);
      EXPECT_EQ(found->objectForKey("IPAddresses"), there->objectForKey("IPAddresses"));
    }
  }
}
