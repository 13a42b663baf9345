#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DQLog.h"
#include "DQNetServicePrinterURLResolver.h"
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
  // A URI that names no service is answered inside the start.
  resolver->startResolving([&](const std::optional<Dictionary>& r) {
    done = true;
    result = r;
  });
  EXPECT_TRUE(RunLoop::current().runUntil([&] { return done; }, std::chrono::seconds(40)));
  return result;
}

std::vector<std::string> urlTexts(const Dictionary& result) {
  std::vector<std::string> texts;
  for (const auto& url : *result.objectForKey("AccessURLs").array()) texts.push_back(url.url()->absoluteString());
  return texts;
}

std::string serviceFile(const std::string& name, const std::string& inside) {
  return "<?xml version=\"1.0\" standalone='no'?>\n"
         "<!DOCTYPE service-group SYSTEM \"avahi-service.dtd\">\n"
         "<service-group><name>" + name + "</name>\n"
         "<service><type>_http._tcp</type><port>80</port>" + inside + "</service>\n"
         "</service-group>\n";
}

// 21 CJK characters: a service name of 63 bytes, the most a label holds.
const std::string kLongCJKName = [] {
  std::string name;
  for (int i = 0; i < 7; ++i) name += "\u5370\u5237\u6A5F";
  return name;
}();

}  // namespace

// A private bus and avahi-daemon in a network namespace of their own publish
// "Sandbox Printer" (_ipp._tcp) on pt-avahi.local (10.99.0.1 and fd99::1), a
// _http._tcp service named by kLongCJKName there, and "Café Printer" on the
// static host café-host.local (10.99.0.2 and fd99::2), whose TXT record holds
// usb_SN twice. libdbus reads the bus address once per process, so the tests
// of the suite share the one daemon.
class RealAvahiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ = std::make_unique<testsupport::TemporaryDirectory>();
    const std::string& dir = directory_->path();
    std::filesystem::create_directories(dir + "/services");
    std::ofstream(dir + "/services/long-cjk.service") << serviceFile(kLongCJKName, "");
    std::ofstream(dir + "/services/cafe.service")
        << serviceFile("Caf\u00E9 Printer", "<host-name>caf\u00E9-host.local</host-name>"
                                            "<txt-record>usb_SN=FIRST</txt-record>"
                                            "<txt-record>usb_SN=SECOND</txt-record>");
    std::ofstream(dir + "/hosts") << "10.99.0.2 caf\u00E9-host.local\nfd99::2 caf\u00E9-host.local\n";
    std::tie(status_, output_) = run(script() + "start " + dir + " 'Sandbox Printer' 8631");
    if (status_ != 0) return;
    bus_ = std::make_unique<testsupport::ScopedEnvironment>("DBUS_SYSTEM_BUS_ADDRESS", output_.c_str());
  }

  static void TearDownTestSuite() {
    bus_.reset();
    run(script() + "stop " + directory_->path());
    directory_.reset();
  }

  void SetUp() override {
    if (status_ == 77) GTEST_SKIP() << output_;
    ASSERT_EQ(status_, 0) << output_;
  }

  static std::string script() { return std::string("bash ") + NEXAKIT_SCRIPTS_DIR + "/avahi-sandbox.sh "; }

  static inline std::unique_ptr<testsupport::TemporaryDirectory> directory_;
  static inline std::unique_ptr<testsupport::ScopedEnvironment> bus_;
  static inline int status_ = -1;
  static inline std::string output_;
};

TEST_F(RealAvahiTest, ResolvesAPublishedServiceThroughTheDaemon) {
  const auto result = resolve("dnssd://Sandbox%20Printer._ipp._tcp.local");
  ASSERT_TRUE(result);
  EXPECT_EQ(urlTexts(*result),
            (std::vector<std::string>{"http://pt-avahi.local/", "http://[fd99::1]/", "http://10.99.0.1/"}));
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

// Bytes that are no text never reach the daemon's bus (libdbus aborts the
// process on a string that is not UTF-8), and a NUL does not cut a name short
// into that of another printer.
TEST_F(RealAvahiTest, ServiceNamesThatAreNoTextResolveNothing) {
  testsupport::CapturedLog log;
  EXPECT_FALSE(resolve("dnssd://Bad%FFName._ipp._tcp.local"));
  EXPECT_FALSE(resolve("dnssd://Sandbox%20Printer%00evil._ipp._tcp.local"));
  EXPECT_FALSE(resolve("dnssd://Sandbox%20Printer._ip%C0p._tcp.local"));
  EXPECT_TRUE(log.contains(kDQLogLevelError, "[DQPrinterURLParser] - Invalid service name in "
                                             "dnssd://Bad%FFName._ipp._tcp.local"));

  // The back end refuses them from any caller, promptly.
  for (const std::string& name : {std::string("Sandbox Printer\0evil", 20), std::string("Bad\xFFName")}) {
    struct Recorder : NetServiceDelegate {
      int resolved = 0, notResolved = 0;
      void netServiceDidResolveAddress(NetService&) override { ++resolved; }
      void netServiceDidNotResolve(NetService&, const ErrorPtr&) override { ++notResolved; }
    };
    auto recorder = std::make_shared<Recorder>();
    auto service = std::make_shared<NetService>("local", "_ipp._tcp", name);
    service->setDelegate(recorder);
    service->resolveWithTimeout(30);
    ASSERT_TRUE(RunLoop::current().runUntil([&] { return recorder->resolved + recorder->notResolved > 0; },
                                            std::chrono::seconds(10)));
    EXPECT_EQ(recorder->notResolved, 1);
  }
}

TEST_F(RealAvahiTest, NonASCIINamesHostsAndTwiceWrittenKeysAsPublished) {
  // A name of 63 bytes of UTF-8 resolves.
  const auto longName = resolve("dnssd://" + Url::percentEncode(kLongCJKName) + "._http._tcp.local");
  ASSERT_TRUE(longName);
  EXPECT_EQ(urlTexts(*longName).front(), "http://pt-avahi.local/");

  // Avahi writes the host "caf\195\169-host.local"; the result names the host
  // itself.
  auto resolver = std::make_shared<DQNetServicePrinterURLResolver>(
      *Url::fromString("dnssd://Caf%C3%A9%20Printer._http._tcp.local"));
  std::optional<Dictionary> cafe;
  bool done = false;
  ASSERT_TRUE(resolver->startResolving([&](const std::optional<Dictionary>& r) {
    cafe = r;
    done = true;
  }));
  ASSERT_TRUE(RunLoop::current().runUntil([&] { return done; }, std::chrono::seconds(40)));
  ASSERT_TRUE(cafe);
  EXPECT_EQ(urlTexts(*cafe), (std::vector<std::string>{"http://caf%C3%A9-host.local/", "http://[fd99::2]/",
                                                       "http://10.99.0.2/"}));
  EXPECT_EQ(Url::fromString(urlTexts(*cafe).front())->host(), "caf\u00E9-host.local");
  EXPECT_EQ(cafe->objectForKey("HostNames").description(), Value(Array{"caf\u00E9-host.local"}).description());

  // The first of two "usb_SN" entries counts.
  const Value entry = resolver->netService()->TXTRecord().objectForKey("usb_SN");
  const Data* serialNumber = entry.data();
  ASSERT_TRUE(serialNumber);
  EXPECT_EQ(std::string(serialNumber->begin(), serialNumber->end()), "FIRST");
  const auto ippusb = resolver->processIPPUSBServiceInfo();
  ASSERT_TRUE(ippusb);
  EXPECT_EQ(ippusb->objectForKey("USBSerialNumber").stringValue(), "FIRST");
}
