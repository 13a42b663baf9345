#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-glib/glib-watch.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "DQLog.h"
#include "DQNetServicePrinterURLResolver.h"
#include "DQPrinterURLResolver.h"
#include "RunLoop/RunLoopThread.h"
#include "ServiceDiscovery/AvahiConnection.h"
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

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string fileText(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
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

// The strings of an array of the result ("HostNames", "IPAddresses").
std::vector<std::string> strings(const Dictionary& result, const std::string& key) {
  std::vector<std::string> texts;
  if (const Array* array = result.objectForKey(key).array()) {
    for (const auto& text : *array) texts.push_back(text.stringValue());
  }
  return texts;
}

std::string serviceFile(const std::string& name, const std::string& inside,
                        const std::string& typeAndPort = "<type>_http._tcp</type><port>80</port>") {
  return "<?xml version=\"1.0\" standalone='no'?>\n"
         "<!DOCTYPE service-group SYSTEM \"avahi-service.dtd\">\n"
         "<service-group><name>" + name + "</name>\n"
         "<service>" + typeAndPort + inside + "</service>\n"
         "</service-group>\n";
}

// A DNS-SD resolution of a printer URI through the real back end, whose
// start, cancel and release are timed.
struct TimedResolution {
  explicit TimedResolution(const std::string& uri, double timeout = DQNetServicePrinterURLResolver::kResolveTimeout)
      : resolver(std::make_shared<DQNetServicePrinterURLResolver>(*Url::fromString(uri), nullptr, timeout)) {}

  void start() {
    started = Clock::now();
    resolver->startResolving([this](const std::optional<Dictionary>& r) {
      answeredAfter = secondsSince(started);
      result = r;
      ++reports;
    });
    startTook = secondsSince(started);
  }
  double cancel() {
    const auto before = Clock::now();
    resolver->cancel();
    return secondsSince(before);
  }
  double release() {
    const auto before = Clock::now();
    resolver.reset();
    return secondsSince(before);
  }

  std::shared_ptr<DQNetServicePrinterURLResolver> resolver;
  Clock::time_point started;
  double startTook = -1;
  double answeredAfter = -1;
  int reports = 0;
  std::optional<Dictionary> result;
};

// Publishes records through the daemon as another program on the machine
// would: an entry group of an Avahi client of its own, whose watches run on
// the test's run loop. The records go when the object does.
class Publisher {
 public:
  Publisher() : poll_(avahi_glib_poll_new(RunLoop::current().context(), G_PRIORITY_DEFAULT)) {
    int error = 0;
    client_ = avahi_client_new(avahi_glib_poll_get(poll_), static_cast<AvahiClientFlags>(0), &clientChanged,
                               nullptr, &error);
    if (client_) group_ = avahi_entry_group_new(client_, &groupChanged, this);
  }
  ~Publisher() {
    if (client_) avahi_client_free(client_);
    avahi_glib_poll_free(poll_);
  }

  // An _ipp._tcp service on one interface and protocol only.
  bool addService(int interface, AvahiProtocol protocol, const std::string& name, const std::string& host,
                  std::uint16_t port, const std::vector<std::string>& txt) {
    // The list is built backwards; the daemon publishes it backwards again.
    AvahiStringList* list = nullptr;
    for (const auto& entry : txt) list = avahi_string_list_add(list, entry.c_str());
    const bool added = group_ && avahi_entry_group_add_service_strlst(group_, interface, protocol,
                                                                      static_cast<AvahiPublishFlags>(0),
                                                                      name.c_str(), "_ipp._tcp", nullptr,
                                                                      host.c_str(), port, list) == 0;
    avahi_string_list_free(list);
    return added;
  }
  bool addAddress(int interface, AvahiProtocol protocol, const std::string& host, const std::string& address) {
    AvahiAddress parsed;
    return group_ && avahi_address_parse(address.c_str(), AVAHI_PROTO_UNSPEC, &parsed) &&
           avahi_entry_group_add_address(group_, interface, protocol, static_cast<AvahiPublishFlags>(0),
                                         host.c_str(), &parsed) == 0;
  }
  // Commits what was added and waits until the daemon established it.
  bool commit() {
    if (!group_ || avahi_entry_group_commit(group_) != 0) return false;
    return RunLoop::current().runUntil([&] { return state_ == AVAHI_ENTRY_GROUP_ESTABLISHED; },
                                       std::chrono::seconds(20));
  }

 private:
  static void clientChanged(AvahiClient*, AvahiClientState, void*) {}
  static void groupChanged(AvahiEntryGroup*, AvahiEntryGroupState state, void* data) {
    static_cast<Publisher*>(data)->state_ = state;
  }

  AvahiGLibPoll* poll_;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  AvahiEntryGroupState state_ = AVAHI_ENTRY_GROUP_UNCOMMITED;
};

std::string currentThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
}

// The name of the thread that lets the current run loop go, handed over by the
// destroy notification of a source that never fires.
std::future<std::string> runLoopEnd() {
  auto* ended = new std::promise<std::string>;
  auto name = ended->get_future();
  GSource* source = g_timeout_source_new_seconds(24 * 3600);
  g_source_set_callback(source, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, ended, [](gpointer data) {
    auto* ended = static_cast<std::promise<std::string>*>(data);
    ended->set_value(currentThreadName());
    delete ended;
  });
  g_source_attach(source, RunLoop::current().context());
  g_source_unref(source);
  return name;
}

// 21 CJK characters: a service name of 63 bytes, the most a label holds.
const std::string kLongCJKName = [] {
  std::string name;
  for (int i = 0; i < 7; ++i) name += "\u5370\u5237\u6A5F";
  return name;
}();

}  // namespace

// A private bus and avahi-daemon in a network namespace of their own. libdbus
// reads the bus address once per process, so the tests of a suite share the
// one daemon.
class AvahiSandbox {
 public:
  // Writes the suite's service and host files into a new folder, then starts
  // the daemon there.
  void start(const std::function<void(const std::string& dir)>& write) {
    directory_ = std::make_unique<testsupport::TemporaryDirectory>();
    const std::string& dir = directory_->path();
    std::filesystem::create_directories(dir + "/services");
    write(dir);
    std::tie(status_, output_) = run(script() + "start " + dir + " 'Sandbox Printer' 8631");
    if (status_ != 0) return;
    bus_ = std::make_unique<testsupport::ScopedEnvironment>("DBUS_SYSTEM_BUS_ADDRESS", output_.c_str());
  }
  // Stops the daemon and its bus and starts them again with the same files.
  bool restart() {
    run(script() + "stop " + directory_->path());
    return run(script() + "start " + directory_->path() + " 'Sandbox Printer' 8631").first == 0;
  }
  void stop() {
    bus_.reset();
    if (directory_) run(script() + "stop " + directory_->path());
    directory_.reset();
  }

  int status() const { return status_; }
  const std::string& output() const { return output_; }
  const std::string& dir() const { return directory_->path(); }
  pid_t daemonPid() const { return std::stoi(fileText(dir() + "/avahi.pid")); }
  // The index of a served interface, as the daemon numbers it.
  int interfaceIndex(const std::string& name) const { return std::stoi(fileText(dir() + "/" + name + ".ifindex")); }

 private:
  static std::string script() { return std::string("bash ") + NEXAKIT_SCRIPTS_DIR + "/avahi-sandbox.sh "; }

  std::unique_ptr<testsupport::TemporaryDirectory> directory_;
  std::unique_ptr<testsupport::ScopedEnvironment> bus_;
  int status_ = -1;
  std::string output_;
};

// The sandbox's daemon stops answering (SIGSTOP) until the object goes.
class StoppedDaemon {
 public:
  explicit StoppedDaemon(pid_t pid) : pid_(pid) { kill(pid_, SIGSTOP); }
  ~StoppedDaemon() { resume(); }
  void resume() {
    if (pid_ > 0) kill(pid_, SIGCONT);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// The daemon publishes "Sandbox Printer" (_ipp._tcp) on pt-avahi.local
// (10.99.0.1 and fd99::1), a _http._tcp service named by kLongCJKName there,
// "Café Printer" on the static host café-host.local (10.99.0.2 and fd99::2),
// whose TXT record holds usb_SN twice, "Dot Printer" on a host whose first
// label holds a dot, "Colon Printer" on a host that looks like a URL's user
// and address, and "Wide Printer" in the domain example.com.
// A suite whose tests share one sandbox, started once with the files that
// `Suite::prepare` puts in its folder, and skipped where none can start.
template <class Suite>
class SharedSandboxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sandbox_.start(Suite::prepare); }
  static void TearDownTestSuite() { sandbox_.stop(); }
  void SetUp() override {
    if (sandbox_.status() == 77) GTEST_SKIP() << sandbox_.output();
    ASSERT_EQ(sandbox_.status(), 0) << sandbox_.output();
  }

  static inline AvahiSandbox sandbox_;
};

class RealAvahiTest : public SharedSandboxTest<RealAvahiTest> {
 public:
  static void prepare(const std::string& dir) {
      std::ofstream(dir + "/services/long-cjk.service") << serviceFile(kLongCJKName, "");
      std::ofstream(dir + "/services/cafe.service")
          << serviceFile("Caf\u00E9 Printer", "<host-name>caf\u00E9-host.local</host-name>"
                                              "<txt-record>usb_SN=FIRST</txt-record>"
                                              "<txt-record>usb_SN=SECOND</txt-record>");
      std::ofstream(dir + "/services/dot.service")
          << serviceFile("Dot Printer", "<host-name>my\\.printer.local</host-name>");
      std::ofstream(dir + "/services/colon.service")
          << serviceFile("Colon Printer", "<host-name>a:b@10\\.99\\.0\\.66/x.local</host-name>");
      std::ofstream(dir + "/services/wide.service")
          << serviceFile("Wide Printer", "<domain-name>example.com</domain-name>",
                         "<type>_ipp._tcp</type><port>8204</port>");
      std::ofstream(dir + "/hosts") << "10.99.0.2 caf\u00E9-host.local\nfd99::2 caf\u00E9-host.local\n"
                                       "10.99.0.65 my\\.printer.local\nfd99::65 my\\.printer.local\n"
                                       "10.99.0.67 a:b@10\\.99\\.0\\.66/x.local\n"
                                       "fd99::67 a:b@10\\.99\\.0\\.66/x.local\n";
  }
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
  // through the process's one client, and both finish.
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

// Every resolution goes through the process's one connection to the bus, of
// which the bus allows a user 256, and the daemon lets that client hold 1024
// objects, two per resolution: 600 at once all answer. The connection is made
// again when the daemon and its bus went away and came back.
TEST_F(RealAvahiTest, SixHundredResolutionsAtOnceAllAnswer) {
  std::vector<std::unique_ptr<TimedResolution>> resolutions;
  for (int i = 0; i < 600; ++i) {
    resolutions.push_back(std::make_unique<TimedResolution>("dnssd://Sandbox%20Printer._ipp._tcp.local"));
    resolutions.back()->start();
  }
  const auto answered = [&] {
    return std::all_of(resolutions.begin(), resolutions.end(), [](const auto& r) { return r->reports > 0; });
  };
  ASSERT_TRUE(RunLoop::current().runUntil(answered, std::chrono::seconds(60)));
  const auto resolved = std::count_if(resolutions.begin(), resolutions.end(),
                                      [](const auto& r) { return r->reports == 1 && r->result.has_value(); });
  EXPECT_EQ(resolved, 600);

  ASSERT_TRUE(sandbox_.restart());
  const auto again = resolve("dnssd://Sandbox%20Printer._ipp._tcp.local");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->objectForKey("IPAddresses"), Value(Array{"fd99::1", "10.99.0.1"}));
}

// A daemon that stops answering holds none of the caller's calls: starting,
// cancelling and releasing a resolver return at once, and each resolution
// reports at its time limit. Once the daemon runs again, so do resolutions.
TEST_F(RealAvahiTest, AStoppedDaemonHoldsNoCall) {
  constexpr double kLimit = 3;   // each resolution's time limit, in seconds
  constexpr double kAtOnce = 1;  // a bound for a call that must not wait for the daemon
  ASSERT_TRUE(resolve("dnssd://Sandbox%20Printer._ipp._tcp.local"));

  // Stopped half a second into a resolution.
  TimedResolution during("dnssd://Nobody._ipp._tcp.local", kLimit);
  during.start();
  RunLoop::current().runUntil(Clock::now() + std::chrono::milliseconds(500));
  StoppedDaemon stopped(sandbox_.daemonPid());
  ASSERT_TRUE(RunLoop::current().runUntil([&] { return during.reports > 0; }, std::chrono::seconds(60)));
  EXPECT_FALSE(during.result);
  EXPECT_LT(during.answeredAfter, kLimit + 2);
  EXPECT_LT(during.release(), kAtOnce);

  // Four started while it is stopped.
  std::vector<std::unique_ptr<TimedResolution>> four;
  for (int i = 0; i < 4; ++i) {
    four.push_back(std::make_unique<TimedResolution>("dnssd://Sandbox%20Printer._ipp._tcp.local", kLimit));
    four.back()->start();
    EXPECT_LT(four.back()->startTook, kAtOnce);
  }
  ASSERT_TRUE(RunLoop::current().runUntil(
      [&] { return std::all_of(four.begin(), four.end(), [](const auto& r) { return r->reports > 0; }); },
      std::chrono::seconds(120)));
  for (const auto& resolution : four) {
    EXPECT_FALSE(resolution->result);
    EXPECT_LT(resolution->answeredAfter, kLimit + 2);
    EXPECT_LT(resolution->release(), kAtOnce);
  }

  // Cancelled while it is stopped, then released: silent.
  TimedResolution cancelled("dnssd://Sandbox%20Printer._ipp._tcp.local", kLimit);
  cancelled.start();
  EXPECT_LT(cancelled.startTook, kAtOnce);
  RunLoop::current().runUntil(Clock::now() + std::chrono::milliseconds(300));
  EXPECT_LT(cancelled.cancel(), kAtOnce);
  EXPECT_LT(cancelled.release(), kAtOnce);
  RunLoop::current().runUntil(Clock::now() + std::chrono::milliseconds(300));
  EXPECT_EQ(cancelled.reports, 0);

  stopped.resume();
  TimedResolution after("dnssd://Sandbox%20Printer._ipp._tcp.local");
  after.start();
  ASSERT_TRUE(RunLoop::current().runUntil([&] { return after.reports > 0; }, std::chrono::seconds(60)));
  EXPECT_TRUE(after.result);
}

// What resolutions hold of the thread that started them goes on that thread,
// or on the one that ended it, never on the avahi thread, which would finalize
// the run loop of a thread that ended there, with every source and queued
// block still in it. A thread keeps a resolution that gave its last answer,
// releases others before their answer and ends before the avahi thread comes
// to them; in the second round it also leaves some running. The thread that
// ended it releases the rest once the avahi thread has seen them all.
TEST_F(RealAvahiTest, AnEndedThreadsRunLoopNeverGoesOnTheAvahiThread) {
  const std::string here = currentThreadName();
  const RunLoop loop = RunLoop::current();
  const auto avahi = ServiceResolver::avahi();
  // The blocks share what they set: after a wait that timed out, they may
  // still run.
  const auto avahiCaughtUp = [&loop] {
    const auto seen = std::make_shared<bool>(false);
    AvahiConnection::shared().perform([loop, seen] { loop.perform([seen] { *seen = true; }); });
    return loop.runUntil([&seen] { return *seen; }, std::chrono::seconds(40));
  };
  for (const bool leaveSomeRunning : {false, true}) {
    std::future<std::string> endedOn;
    std::promise<void> gate;  // holds the avahi thread until this thread opens it
    std::unique_ptr<ServiceResolver::Resolution> answered;
    std::vector<std::unique_ptr<ServiceResolver::Resolution>> running;
    {
      RunLoopThread thread("resolving");
      thread.runLoop().perform([&] {
        endedOn = runLoopEnd();
        bool finished = false;
        answered = avahi->resolve("Sandbox Printer", "_ipp._tcp", "local",
                                  [&](const ResolvedService&, bool last) { finished = last; });
        EXPECT_TRUE(RunLoop::current().runUntil([&] { return finished; }, std::chrono::seconds(40)));
        AvahiConnection::shared().perform(
            [opened = gate.get_future().share()] { opened.wait_for(std::chrono::minutes(1)); });
        const auto ignore = [](const ResolvedService&, bool) {};
        for (const char* name : {"Sandbox Printer", "Nobody"}) {
          for (int i = 0; i < 4; ++i) {
            avahi->resolve(name, "_ipp._tcp", "local", ignore);
            if (leaveSomeRunning) running.push_back(avahi->resolve(name, "_ipp._tcp", "local", ignore));
          }
        }
      });
    }
    gate.set_value();
    // Started after all of them, so the printer's have most likely been
    // answered into the ended run loop.
    ASSERT_TRUE(resolve("dnssd://Sandbox%20Printer._ipp._tcp.local"));
    ASSERT_TRUE(avahiCaughtUp());
    // The answered resolution no longer holds the run loop.
    if (!leaveSomeRunning) {
      EXPECT_EQ(endedOn.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    }
    answered.reset();
    running.clear();
    ASSERT_TRUE(avahiCaughtUp());
    ASSERT_EQ(endedOn.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    const std::string name = endedOn.get();
    EXPECT_TRUE(name == "resolving" || name == here) << name;
  }
}

// A host name that a URL's host cannot carry as it is gives no access URL of
// its own; the service's addresses still do, and no URL reaches a host the
// service did not publish.
TEST_F(RealAvahiTest, HostNamesAURLCannotCarryGiveOnlyTheAddressURLs) {
  // One label holding a dot: "my.printer.local" would be another host.
  const auto dot = resolve("dnssd://Dot%20Printer._http._tcp.local");
  ASSERT_TRUE(dot);
  EXPECT_EQ(urlTexts(*dot), (std::vector<std::string>{"http://[fd99::65]/", "http://10.99.0.65/"}));
  EXPECT_EQ(strings(*dot, "HostNames"), std::vector<std::string>{"my\\.printer.local"});
  EXPECT_EQ(strings(*dot, "IPAddresses"), (std::vector<std::string>{"fd99::65", "10.99.0.65"}));

  // Read as a URL host, this one would be user "[a:b" at 10.99.0.66.
  const auto colon = resolve("dnssd://Colon%20Printer._http._tcp.local");
  ASSERT_TRUE(colon);
  EXPECT_EQ(urlTexts(*colon), (std::vector<std::string>{"http://[fd99::67]/", "http://10.99.0.67/"}));
}

// TXT keys compare without regard to case, the first of a key counts and a
// key that is empty is no key; the keys keep the case they were published in.
TEST_F(RealAvahiTest, TXTKeysIgnoreCaseAndEmptyKeysAreDropped) {
  Publisher publisher;
  ASSERT_TRUE(publisher.addService(AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, "Keys Printer", "pt-avahi.local", 8633,
                                   {"USB_SN=UPPER", "usb_SN=lower", "=novalue", "note=kept"}));
  ASSERT_TRUE(publisher.commit());
  auto resolver = std::make_shared<DQNetServicePrinterURLResolver>(
      *Url::fromString("dnssd://Keys%20Printer._ipp._tcp.local"));
  bool done = false;
  ASSERT_TRUE(resolver->startResolving([&](const std::optional<Dictionary>&) { done = true; }));
  ASSERT_TRUE(RunLoop::current().runUntil([&] { return done; }, std::chrono::seconds(40)));
  const Dictionary& txt = resolver->netService()->TXTRecord();
  EXPECT_EQ(txt.keys(), (std::vector<std::string>{"USB_SN", "note"}));
  const auto ippusb = resolver->processIPPUSBServiceInfo();
  ASSERT_TRUE(ippusb);
  EXPECT_EQ(ippusb->objectForKey("USBSerialNumber").stringValue(), "UPPER");
}

// A printer in a domain of more than one label is named by its URI.
TEST_F(RealAvahiTest, ServicesInADomainOfSeveralLabels) {
  auto resolver = std::make_shared<DQNetServicePrinterURLResolver>(
      *Url::fromString("dnssd://Wide%20Printer._ipp._tcp.example.com"));
  std::optional<Dictionary> wide;
  bool done = false;
  ASSERT_TRUE(resolver->startResolving([&](const std::optional<Dictionary>& r) {
    wide = r;
    done = true;
  }));
  ASSERT_TRUE(RunLoop::current().runUntil([&] { return done; }, std::chrono::seconds(40)));
  ASSERT_TRUE(wide);
  EXPECT_EQ(urlTexts(*wide).front(), "http://pt-avahi.local/");
  EXPECT_EQ(resolver->netService()->port(), 8204);
}

// The daemon also serves a second link. Each test publishes what it needs
// with a client of its own.
class RealAvahiTwoLinksTest : public SharedSandboxTest<RealAvahiTwoLinksTest> {
 public:
  static void prepare(const std::string& dir) { std::ofstream(dir + "/second-link") << "\n"; }
};

// "Twin Printer" on the first link, over IPv4 only, and another of that name
// on the second link, over IPv6 only, each on its own host: a resolution
// reports one of them, whole, never the host, port and TXT record of one
// with the address of the other.
TEST_F(RealAvahiTwoLinksTest, TwinsOnTwoLinksAreNotMerged) {
  const int first = sandbox_.interfaceIndex("veth0");
  const int second = sandbox_.interfaceIndex("veth2");
  Publisher publisher;
  ASSERT_TRUE(publisher.addService(first, AVAHI_PROTO_INET, "Twin Printer", "twin-a.local", 8701, {"link=a"}));
  ASSERT_TRUE(publisher.addAddress(first, AVAHI_PROTO_INET, "twin-a.local", "10.99.0.7"));
  ASSERT_TRUE(publisher.addService(second, AVAHI_PROTO_INET6, "Twin Printer", "twin-b.local", 8702, {"link=b"}));
  ASSERT_TRUE(publisher.addAddress(second, AVAHI_PROTO_INET6, "twin-b.local", "fd98::7"));
  ASSERT_TRUE(publisher.commit());

  for (int round = 0; round < 5; ++round) {
    auto resolver = std::make_shared<DQNetServicePrinterURLResolver>(
        *Url::fromString("dnssd://Twin%20Printer._ipp._tcp.local"));
    std::optional<Dictionary> twin;
    bool done = false;
    ASSERT_TRUE(resolver->startResolving([&](const std::optional<Dictionary>& r) {
      twin = r;
      done = true;
    }));
    ASSERT_TRUE(RunLoop::current().runUntil([&] { return done; }, std::chrono::seconds(40)));
    ASSERT_TRUE(twin);
    const auto& service = *resolver->netService();
    const Data* link = service.TXTRecord().objectForKey("link").data();
    ASSERT_TRUE(link);
    if (service.hostName() == "twin-a.local") {
      EXPECT_EQ(service.port(), 8701);
      EXPECT_EQ(std::string(link->begin(), link->end()), "a");
      EXPECT_EQ(strings(*twin, "IPAddresses"), std::vector<std::string>{"10.99.0.7"});
    } else {
      EXPECT_EQ(service.hostName(), "twin-b.local");
      EXPECT_EQ(service.port(), 8702);
      EXPECT_EQ(std::string(link->begin(), link->end()), "b");
      EXPECT_EQ(strings(*twin, "IPAddresses"), std::vector<std::string>{"fd98::7"});
    }
  }
}
