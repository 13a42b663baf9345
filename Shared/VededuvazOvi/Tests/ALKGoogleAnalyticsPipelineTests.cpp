#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "ALKActivityStore.h"
#include "ALKClient.h"
#include "ALKGATracker.h"
#include "ALKGoogleAnalyticsBackend.h"
#include "ALKMeasurementActivity.h"
#include "ALKMeasurementConfig.h"
#include "ALKMeasurementRequestFilter.h"
#include "ALKQueue.h"
#include "ALKSendMeasurementActivityFilter.h"
#include "ALKTracker.h"
#include "ALKWriteActivityRequestFilter.h"
#include "ChildProcess.h"
#include "EngineTestSupport.h"
#include "FailingCalls.h"
#include "LoopbackCollector.h"
#include "RecordingLogger.h"
#include "SmallDisk.h"
#include "StoreTestSupport.h"
#include "System/AppIdentity.h"
#include "TemporaryDirectory.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairsOf(const std::string& query) {
  Pairs pairs;
  std::size_t start = 0;
  while (start <= query.size()) {
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string pair = query.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    pairs.emplace_back(pair.substr(0, equals), equals == std::string::npos ? "" : pair.substr(equals + 1));
    start = end + 1;
  }
  return pairs;
}

std::string valueOf(const Pairs& pairs, const std::string& key) {
  for (const auto& [name, value] : pairs) {
    if (name == key) return value;
  }
  return "<none>";
}

// What the send stage logs when a hit could not be sent.
const std::string kSendFailed = "Failed to send activity to server.";

// A delay that the collector's answer waits out only if the client never
// goes: the client's own end of the exchange always comes first.
constexpr auto kNeverBeforeTheClientGoes = std::chrono::minutes(1);

std::string queryOf(const LoopbackCollector::Request& request) {
  const std::size_t mark = request.target.find('?');
  return mark == std::string::npos ? "" : request.target.substr(mark + 1);
}

// The client as the application uses it, its hits going to a collector on
// loopback, its store under a temporary cache folder.
class GoogleAnalyticsPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A child process uses its parent's cache folder.
    if (!std::getenv("ALK_TEST_CHILD")) setenv("XDG_CACHE_HOME", cache_.path().c_str(), 1);
    setenv("NO_PROXY", "127.0.0.1", 1);
    ALKGoogleAnalyticsBackend::registerBackend();
    auto& identity = platform::AppIdentity::shared();
    identity.setBundleIdentifier("com.example.analytics-tests");
    identity.setShortVersion("1.2");
    identity.setName("Tests");
    identity.setLocaleIdentifier("en_US");
  }
  void TearDown() override {
    stopClient();
    auto& identity = platform::AppIdentity::shared();
    identity.setBundleIdentifier("");
    identity.setShortVersion("");
    identity.setName("");
    identity.setLocaleIdentifier("");
    identity.setCachesDirectory("");
  }

  // The client closed and let go, as at quit; the next startClient is a new run.
  void stopClient() {
    if (client_) client_->close();
    client_.reset();
    tracker_.reset();
    ALKClient::resetSharedClient();
    drainMainRunLoop();
  }
  // The application's calls, then the settings the test needs, made before
  // the first dispatch.
  void startClient(const std::function<void(ALKConfig&)>& configure = {}) {
    client_ = ALKClient::sharedClient();
    client_->setTrackingId("UA-10000000-1");
    client_->setClientId("client-1");
    tracker_ = client_->defaultTracker();
    ASSERT_TRUE(tracker_);
    auto config = tracker_->config();
    config->setValue(true, ALKMeasurementConfig::kShouldAnonymizeIPKey);
    ALKMeasurementConfig(*config).setURLStringEndPoint(collector_.endPoint());
    config->setRateLimit(20);
    config->setURLConnectionTimeout(1);
    if (configure) configure(*config);
  }
  void sendEvents(int count, const std::string& category = "cat") {
    for (int i = 0; i < count; ++i) {
      tracker_->sendActivity(ALKMeasurementActivity::eventActivity(category, "act" + std::to_string(i), "label", i));
    }
  }
  // Hands `count` events over and, once the store holds them all, dispatches;
  // false when the store never held them.
  bool storeThenDispatch(int count, const std::string& category = "cat") {
    sendEvents(count, category);
    if (!waitFor([&] { return stored() == static_cast<std::size_t>(count); })) return false;
    client_->dispatch();
    return true;
  }
  std::size_t stored() const {
    return ALKActivityStore::countActivityRequestsInFile(storePath()).value_or(0);
  }
  // How many requests carried each event action ("ea").
  std::map<std::string, int> deliveriesByAction() const {
    std::map<std::string, int> deliveries;
    for (const auto& request : collector_.requests()) ++deliveries[valueOf(pairsOf(queryOf(request)), "ea")];
    return deliveries;
  }
  // The same, of the events of one category ("ec").
  std::map<std::string, int> deliveriesOf(const std::string& category) const {
    std::map<std::string, int> deliveries;
    for (const auto& request : collector_.requests()) {
      const auto pairs = pairsOf(queryOf(request));
      if (valueOf(pairs, "ec") == category) ++deliveries[valueOf(pairs, "ea")];
    }
    return deliveries;
  }
  // The clock the store's tries wait for, moved by hand from now on.
  std::shared_ptr<ManualClock> useManualStoreClock() {
    const auto clock = std::make_shared<ManualClock>();
    const auto write = std::dynamic_pointer_cast<ALKWriteActivityRequestFilter>(tracker_->pipeline()->firstFilter());
    EXPECT_TRUE(write);
    if (write) write->executionQueue()->sync([&] { write->activityStore()->setClock(clock); });
    return clock;
  }
  std::string storePath() const { return tracker_->config()->pendingRequestsURL()->filePath(); }
  // Runs the disabled test `name` of this fixture in a child process;
  // whether it passed.
  static bool childPasses(const std::string& name, const std::vector<std::string>& environment = {}) {
    const pid_t child = spawnTestChild("GoogleAnalyticsPipelineTest." + name, environment);
    if (child <= 0) return false;
    const int status = waitForChild(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name << ": child status " << status;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  bool waitForRequests(std::size_t count) {
    return waitFor([&] { return collector_.count() >= count; });
  }
  // Turns the run loop a while, to see that nothing more happens.
  static void idle(std::chrono::milliseconds span) {
    platform::RunLoop::main().runUntil(std::chrono::steady_clock::now() + span);
  }

  TemporaryDirectory cache_;
  LoopbackCollector collector_;
  std::shared_ptr<ALKClient> client_;
  std::shared_ptr<ALKTracker> tracker_;
};

TEST_F(GoogleAnalyticsPipelineTest, StoresUntilDispatchThenSendsPacedInOrder) {
  startClient();
  sendEvents(3, "a b&c/\xC3\xA4");
  ASSERT_TRUE(waitFor([&] { return stored() == 3; }));
  idle(std::chrono::milliseconds(100));
  EXPECT_EQ(collector_.count(), 0u);  // nothing before the first dispatch
  const auto path = tracker_->config()->pendingRequestsURL()->filePath();
  EXPECT_EQ(path, cache_.path() + "/com.example.analytics-tests/1.2/VededuvazOvi-GoogleAnalytics-UA-10000000-1.sqlite");

  client_->dispatch();
  ASSERT_TRUE(waitForRequests(3));
  ASSERT_TRUE(waitFor([&] { return stored() == 0; }));
  const auto requests = collector_.requests();
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto& request = requests[i];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target.substr(0, 9), "/collect?");
    EXPECT_EQ(request.target.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~%=&-", 9),
              std::string::npos);
    const auto pairs = pairsOf(queryOf(request));
    std::set<std::string> keys;
    for (const auto& pair : pairs) keys.insert(pair.first);
    EXPECT_EQ(keys, (std::set<std::string>{"v", "tid", "aip", "cid", "t", "ec", "ea", "el", "ev", "an", "av", "aid", "de",
                                           "ul", "qt", "z"}))
        << request.target;
    EXPECT_EQ(pairs.back().first, "z");
    EXPECT_EQ(valueOf(pairs, "ea"), "act" + std::to_string(i));  // in order
    EXPECT_EQ(valueOf(pairs, "ec"), "a%20b%26c%2F%C3%A4");
    EXPECT_EQ(valueOf(pairs, "tid"), "UA-10000000-1");
    EXPECT_EQ(valueOf(pairs, "cid"), "client-1");
    EXPECT_EQ(valueOf(pairs, "aip"), "1");
    EXPECT_EQ(valueOf(pairs, "z").size(), 12u);
    EXPECT_NE(request.head.find("User-Agent: Tests/1.2 (Linux)\r\n"), std::string::npos);
    EXPECT_EQ(request.head.find("Content-Type"), std::string::npos);
    EXPECT_EQ(request.head.find("Cookie"), std::string::npos);
    EXPECT_TRUE(request.body.empty());
    // Stored at once, held back at least 100 ms before the dispatch.
    const long long queueTime = std::stoll(valueOf(pairs, "qt"));
    EXPECT_GE(queueTime, 100);
    if (i > 0) {
      // One at a time, paced by 20 hits a second: each waited longer.
      EXPECT_GE(request.arrived - requests[i - 1].answered, std::chrono::milliseconds(40));
      EXPECT_GT(queueTime, std::stoll(valueOf(pairsOf(queryOf(requests[i - 1])), "qt")));
    }
  }
}

TEST_F(GoogleAnalyticsPipelineTest, TheDispatchTimerSendsStoredHitsWithoutADispatch) {
  startClient();
  client_->config()->setDispatchInterval(0.2);
  sendEvents(2);
  ASSERT_TRUE(waitForRequests(2));
  EXPECT_TRUE(waitFor([&] { return stored() == 0; }));
}

TEST_F(GoogleAnalyticsPipelineTest, TheTimerSendsAgainAfterTransportFailuresWithoutADispatch) {
  startClient();
  client_->config()->setDispatchInterval(0.2);
  collector_.script({.closeWithoutAnswer = true});
  collector_.script({.closeWithoutAnswer = true});
  sendEvents(3);
  ASSERT_TRUE(waitFor([&] { return stored() == 0 && collector_.count() >= 5; }));
  idle(std::chrono::milliseconds(300));
  const auto requests = collector_.requests();
  ASSERT_EQ(requests.size(), 5u);
  std::map<std::string, int> answered;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const std::string action = valueOf(pairsOf(queryOf(requests[i])), "ea");
    if (i < 2) {
      EXPECT_EQ(action, "act0");  // the same hit dropped twice
    } else {
      ++answered[action];
    }
  }
  EXPECT_EQ(answered, (std::map<std::string, int>{{"act0", 1}, {"act1", 1}, {"act2", 1}}));
}

TEST_F(GoogleAnalyticsPipelineTest, RequestsSwitchToPostAboveTheURLLimit) {
  auto config = ALKConfig::configWithAnalyticsType("GoogleAnalytics");
  config->setTrackingId("UA-1");
  ALKMeasurementConfig measurement(*config);
  measurement.setClientId("c");
  measurement.setURLStringEndPoint("http://127.0.0.1:1/collect");
  config->setURLConnectionTimeout(0);
  // No timestamp, so the URL's length depends on the cache buster's digits only.
  auto activity = ALKMeasurementActivity::eventActivity("cat", "act", std::nullopt);
  activity->removeValueForProperty(ALKActivity::kTimestampKey);
  const auto get = ALKMeasurementRequestFilter::URLRequestForActivity(activity, config, nullptr, nullptr);
  ASSERT_TRUE(get);
  EXPECT_EQ(get->method, "GET");
  EXPECT_EQ(get->timeout, ALKMeasurementRequestFilter::kDefaultTimeout);  // 0 means none to the transport

  measurement.setMaxEncodedMeasurementURLLength(get->url.size());
  EXPECT_EQ(ALKMeasurementRequestFilter::URLRequestForActivity(activity, config, nullptr, nullptr)->method, "GET");
  std::shared_ptr<ALKActivity> actual;
  for (const std::uint64_t limit : {get->url.size() - 1, std::size_t{0}}) {
    measurement.setMaxEncodedMeasurementURLLength(limit);
    const auto post = ALKMeasurementRequestFilter::URLRequestForActivity(activity, config, &actual, nullptr);
    ASSERT_TRUE(post);
    EXPECT_EQ(post->method, "POST");
    EXPECT_EQ(post->url, "http://127.0.0.1:1/collect");
    EXPECT_EQ(post->body, get->url.substr(get->url.find('?') + 1, get->url.rfind("&z=") - get->url.find('?') - 1));
    EXPECT_TRUE(ALKMeasurementActivity(*actual).cacheBuster().isNil());
  }
  EXPECT_TRUE(activity->valueForProperty("cacheBuster").isNil());  // the caller's activity is never changed
  measurement.setURLStringEndPoint("ftp://127.0.0.1/collect");
  EXPECT_FALSE(ALKMeasurementRequestFilter::URLRequestForActivity(activity, config, nullptr, nullptr));
}

TEST_F(GoogleAnalyticsPipelineTest, PostCarriesTheQueryWithoutCacheBuster) {
  startClient([](ALKConfig& config) { ALKMeasurementConfig(config).setMaxEncodedMeasurementURLLength(0); });
  sendEvents(1);
  client_->dispatch();
  ASSERT_TRUE(waitForRequests(1));
  const auto request = collector_.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/collect");
  EXPECT_NE(request.head.find("Content-Type: application/x-www-form-urlencoded"), std::string::npos);
  EXPECT_NE(request.head.find("Content-Length: " + std::to_string(request.body.size())), std::string::npos);
  EXPECT_EQ(request.head.find("Expect"), std::string::npos);
  EXPECT_EQ(valueOf(pairsOf(request.body), "z"), "<none>");
  EXPECT_EQ(valueOf(pairsOf(request.body), "ea"), "act0");
}

TEST_F(GoogleAnalyticsPipelineTest, RedirectsAreFollowedAndAnswerBodiesDropped) {
  startClient();
  collector_.script({.status = 302, .location = "/elsewhere"});
  collector_.script({.status = 200, .bodySize = 1 << 20});
  sendEvents(1);
  ASSERT_TRUE(waitFor([&] { return stored() == 1; }));
  testing::internal::CaptureStdout();
  client_->dispatch();
  ASSERT_TRUE(waitFor([&] { return stored() == 0; }));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const auto requests = collector_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].target, "/elsewhere");
}

// Hits in a row go over the connection the first one opened, and a hit the
// collector refuses as too large (413) passes on as delivered: it is not sent
// again, and the hits after it still go out.
TEST_F(GoogleAnalyticsPipelineTest, HitsInARowShareOneConnectionAndATooLargeHitIsNotSentAgain) {
  collector_.keepConnectionsOpen();
  startClient([](ALKConfig& config) { ALKMeasurementConfig(config).setMaxEncodedMeasurementURLLength(0); });
  collector_.script({.status = 200});
  collector_.script({.status = 413});
  collector_.script({.status = 200});
  ASSERT_TRUE(storeThenDispatch(3));
  // A hit leaves the store once answered, and the collector records it first.
  ASSERT_TRUE(waitFor([&] { return stored() == 0; }));
  const auto requests = collector_.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (std::size_t hit = 0; hit < requests.size(); ++hit) {
    EXPECT_EQ(requests[hit].method, "POST");
    EXPECT_EQ(valueOf(pairsOf(requests[hit].body), "ea"), "act" + std::to_string(hit));
  }
  EXPECT_EQ(collector_.connections(), 1u);
}

TEST_F(GoogleAnalyticsPipelineTest, TransportFailureHaltsUntilTheNextDispatchAndRejectedHitsAreDropped) {
  RecordingLoggerScope logger;
  startClient();
  collector_.script({.closeWithoutAnswer = true});
  collector_.script({.status = 400});
  collector_.script({.status = 500});
  collector_.script({.status = 204});
  ASSERT_TRUE(storeThenDispatch(3));
  ASSERT_TRUE(waitForRequests(1));
  idle(std::chrono::milliseconds(300));
  EXPECT_EQ(collector_.count(), 1u);  // halted
  EXPECT_EQ(stored(), 3u);

  client_->dispatch();
  ASSERT_TRUE(waitForRequests(4));
  ASSERT_TRUE(waitFor([&] { return stored() == 0; }));
  const auto requests = collector_.requests();
  ASSERT_EQ(requests.size(), 4u);  // 400 and 500 are not sent again
  const auto first = pairsOf(queryOf(requests[0]));
  const auto again = pairsOf(queryOf(requests[1]));
  EXPECT_EQ(valueOf(again, "ea"), "act0");  // the same hit first
  EXPECT_NE(valueOf(again, "z"), valueOf(first, "z"));
  EXPECT_EQ(valueOf(pairsOf(queryOf(requests[3])), "ea"), "act2");

  // A collector that is gone: refused, nothing lost. Every stage is at rest
  // first, so that the dispatch starts a run of its own.
  collector_.stop();
  const auto& stages = tracker_->pipeline()->filters();
  ASSERT_TRUE(waitFor([&] {
    return std::none_of(stages.begin(), stages.end(), [](const auto& stage) { return stage->isExecuting(); });
  }));
  const std::size_t failures = logger->count(kSendFailed);
  ASSERT_TRUE(storeThenDispatch(1));
  ASSERT_TRUE(waitFor([&] { return logger->count(kSendFailed) > failures; }));
  idle(std::chrono::milliseconds(100));
  EXPECT_EQ(stored(), 1u);
}

TEST_F(GoogleAnalyticsPipelineTest, TimeOutAndUnusableEndpointKeepTheHits) {
  RecordingLoggerScope logger;
  startClient();
  // Answered only once the client has gone: the second's time-out ends the exchange.
  collector_.script({.delay = kNeverBeforeTheClientGoes});
  ASSERT_TRUE(storeThenDispatch(1));
  ASSERT_TRUE(waitFor([&] { return logger->contains(kSendFailed); }));
  EXPECT_TRUE(logger->contains("Code=-1001"));  // timed out
  idle(std::chrono::milliseconds(100));
  EXPECT_EQ(stored(), 1u);  // kept

  auto other = ALKGATracker::googleAnalyticsTrackerWithTrackingId("UA-2");
  ALKMeasurementConfig(*other->config()).setURLStringEndPoint("not a url");
  client_->addTracker(other);
  other->sendActivity(ALKMeasurementActivity::eventActivity("c", "a", std::nullopt));
  const auto otherPath = other->config()->pendingRequestsURL()->filePath();
  ASSERT_TRUE(waitFor([&] { return ALKActivityStore::countActivityRequestsInFile(otherPath).value_or(0) == 1; }));
  other->dispatch();
  ASSERT_TRUE(waitFor([&] { return logger->contains("Can not handle URL request not a url"); }));
  idle(std::chrono::milliseconds(100));
  EXPECT_EQ(ALKActivityStore::countActivityRequestsInFile(otherPath).value_or(0), 1u);
}

TEST_F(GoogleAnalyticsPipelineTest, DryRunOptOutAndQueueLimit) {
  startClient([](ALKConfig& config) {
    config.setDryRun(true);
    config.setQueueLimit(5);
  });
  sendEvents(7);
  ASSERT_TRUE(waitFor([&] { return stored() == 5; }));
  idle(std::chrono::milliseconds(100));
  EXPECT_EQ(stored(), 5u);
  client_->dispatch();
  ASSERT_TRUE(waitFor([&] { return stored() == 0; }));
  client_->setOptOut(true);
  sendEvents(2);
  client_->dispatch();
  idle(std::chrono::milliseconds(200));
  EXPECT_EQ(stored(), 0u);
  EXPECT_EQ(collector_.count(), 0u);
}

TEST_F(GoogleAnalyticsPipelineTest, BlockedCacheFolderGivesTheMemoryForm) {
  std::ofstream(cache_.file("com.example.analytics-tests")) << "a plain file";
  startClient();
  ASSERT_EQ(tracker_->pipeline()->filters().size(), 1u);
  sendEvents(2);
  idle(std::chrono::milliseconds(100));
  EXPECT_EQ(collector_.count(), 0u);
  client_->dispatch();
  ASSERT_TRUE(waitForRequests(2));
}

// A folder that cannot be entered (an earlier sudo leaves one owned by root;
// root enters any, so a symlink loop stands in for it there) is an error to
// log, not an exception.
TEST_F(GoogleAnalyticsPipelineTest, AnUnenterableCacheFolderGivesTheMemoryFormWithItsError) {
  RecordingLoggerScope logger;
  const std::string folder = cache_.file("com.example.analytics-tests");
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::symlink(folder.c_str(), folder.c_str()), 0);
  } else {
    ASSERT_EQ(::mkdir(folder.c_str(), 0), 0);
  }
  startClient();
  ASSERT_EQ(tracker_->pipeline()->filters().size(), 1u);
  EXPECT_EQ(logger->count("Unable to create directory {" + folder + "/1.2, "), 1u);
  EXPECT_TRUE(logger->contains(root ? "Too many levels of symbolic links" : "Permission denied"));
  sendEvents(1);
  client_->dispatch();
  ASSERT_TRUE(waitForRequests(1));
  ::chmod(folder.c_str(), 0700);
}

// A cache folder that cannot be made for want of inodes is logged with that
// error, not with what a look at the folder found afterwards.
TEST_F(GoogleAnalyticsPipelineTest, ACacheFolderThatCannotBeMadeIsLoggedWithItsOwnError) {
  SmallDisk disk(1024 * 1024, 1);
  if (!disk.isMounted()) GTEST_SKIP() << "no small disk: mounting a tmpfs takes root";
  setenv("XDG_CACHE_HOME", disk.path().c_str(), 1);
  RecordingLoggerScope logger;
  startClient();
  ASSERT_EQ(tracker_->pipeline()->filters().size(), 1u);
  EXPECT_EQ(logger->count("Unable to create directory {" + disk.file("com.example.analytics-tests/1.2") +
                          ", No space left on device}"),
            1u);
  stopClient();
}

// Each way to a run without a store says why, once, at WARNING; a run with a
// store says nothing of the kind.
TEST_F(GoogleAnalyticsPipelineTest, ARunWithoutAStoreLogsOneWarningNamingWhy) {
  RecordingLoggerScope logger;
  const auto warnings = [&] {
    std::vector<std::string> found;
    for (const auto& line : logger->lines()) {
      if (line.text.find("<WARNING>") != std::string::npos &&
          line.text.find("Run without a store: hits are kept in memory only and are lost at quit {") !=
              std::string::npos) {
        found.push_back(line.text);
      }
    }
    return found;
  };
  const auto build = [&](const std::function<void(ALKConfig&)>& configure) {
    logger->clear();
    const auto tracker = ALKGATracker::googleAnalyticsTrackerWithTrackingId("UA-3");
    if (configure) configure(*tracker->config());
    return ALKGATracker::googleAnalyticsActivityPipeline(*tracker)->filters().size();
  };

  EXPECT_EQ(build({}), 4u);
  EXPECT_TRUE(warnings().empty());

  const std::vector<std::tuple<const char*, std::function<void(ALKConfig&)>, std::string>> causes = {
      {"no store URL", [](ALKConfig& config) { config.setPendingRequestsURL(std::nullopt); }, "{no store URL}"},
      {"not a file URL",
       [](ALKConfig& config) { config.setPendingRequestsURL(platform::Url::fromString("http://127.0.0.1/store")); },
       "{the store URL is not a file URL: http://127.0.0.1/store}"},
      {"a folder that cannot be made",
       [&](ALKConfig& config) {
         std::ofstream(cache_.file("in-the-way")) << "a plain file";
         config.setPendingRequestsURL(platform::Url::fileUrl(cache_.file("in-the-way/store/s.sqlite")));
       },
       "{the store folder " + cache_.file("in-the-way/store") + " cannot be made: "},
  };
  for (const auto& [cause, configure, reason] : causes) {
    SCOPED_TRACE(cause);
    EXPECT_EQ(build(configure), 1u);
    const auto found = warnings();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].find(reason), std::string::npos) << found[0];
  }

  // A home folder given relative makes a caches folder that no file URL can
  // name: the tracker's ERROR says so, and its pipeline warns.
  const char* home = std::getenv("HOME");
  const std::string savedHome = home ? home : "";
  unsetenv("XDG_CACHE_HOME");
  setenv("HOME", "relative-home", 1);
  logger->clear();
  const auto tracker = ALKGATracker::googleAnalyticsTrackerWithTrackingId("UA-3");
  EXPECT_EQ(logger->count("No file URL for the store path, which is not absolute {relative-home/.cache/"), 1u);
  EXPECT_EQ(ALKGATracker::googleAnalyticsActivityPipeline(*tracker)->filters().size(), 1u);
  EXPECT_EQ(warnings().size(), 1u);
  home ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");
  setenv("XDG_CACHE_HOME", cache_.path().c_str(), 1);
}

constexpr int kRelativeCacheHits = 4;

// The child: from the working directory it is given, with the caches folder
// "caches", either hands kRelativeCacheHits hits over and quits before any
// dispatch ("store"), or dispatches what it finds to the parent's collector
// ("send") and waits until the store is empty.
TEST_F(GoogleAnalyticsPipelineTest, DISABLED_RunsWithARelativeCachesFolder) {
  ASSERT_EQ(::chdir(std::getenv("ALK_TEST_WORKDIR")), 0);
  ASSERT_FALSE(platform::AppIdentity::shared().setCachesDirectory("caches"));
  const std::string path = "caches/com.example.analytics-tests/1.2/VededuvazOvi-GoogleAnalytics-UA-10000000-1.sqlite";
  const auto held = [&] { return ALKActivityStore::countActivityRequestsInFile(path).value_or(0); };
  startClient([](ALKConfig& config) {
    ALKMeasurementConfig(config).setURLStringEndPoint(std::getenv("ALK_TEST_ENDPOINT"));
  });
  if (std::string(std::getenv("ALK_TEST_RUN")) == "store") {
    sendEvents(kRelativeCacheHits);
    ASSERT_TRUE(waitFor([&] { return held() == static_cast<std::size_t>(kRelativeCacheHits); }));
  } else {
    client_->dispatch();
    ASSERT_TRUE(waitFor([&] { return held() == 0; }));
  }
  stopClient();
}

// An application that names its caches folder relative to where it starts
// finds the hits of its last run there at the next start.
TEST_F(GoogleAnalyticsPipelineTest, HitsOfARelativeCachesFolderSurviveARestartFromTheSameWorkingDirectory) {
  TemporaryDirectory workingDirectory;
  for (const char* run : {"store", "send"}) {
    SCOPED_TRACE(run);
    const pid_t child = spawnTestChild("GoogleAnalyticsPipelineTest.DISABLED_RunsWithARelativeCachesFolder",
                                       {"ALK_TEST_CHILD=1", std::string("ALK_TEST_RUN=") + run,
                                        "ALK_TEST_WORKDIR=" + workingDirectory.path(),
                                        "ALK_TEST_ENDPOINT=" + collector_.endPoint()});
    ASSERT_GT(child, 0);
    const int status = waitForChild(child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    if (std::string(run) == "store") {
      ASSERT_EQ(collector_.count(), 0u);
    }
  }
  const auto deliveries = deliveriesByAction();
  EXPECT_EQ(deliveries.size(), static_cast<std::size_t>(kRelativeCacheHits));
  for (const auto& [action, times] : deliveries) EXPECT_EQ(times, 1) << action;
}

// A cache cleaner removes the store file, or its whole folder, while the
// application runs and the collector cannot be reached: the hits handed over
// afterwards go into a new file at the path with those handed over before,
// which the store still holds in memory, and once the collector can be
// reached, the next run delivers each of them once.
TEST_F(GoogleAnalyticsPipelineTest, HitsHandedOverAfterTheStoreIsRemovedAreDeliveredOnce) {
  RecordingLoggerScope logger;
  for (const bool wholeFolder : {false, true}) {
    const std::string what = wholeFolder ? "folder" : "file";
    SCOPED_TRACE(what + " removed");
    logger->clear();
    startClient([](ALKConfig& config) {
      ALKMeasurementConfig(config).setURLStringEndPoint("http://127.0.0.1:1/collect");  // nobody listens
    });
    const std::string path = tracker_->config()->pendingRequestsURL()->filePath();
    sendEvents(2, what + "-before");
    ASSERT_TRUE(waitFor([&] { return stored() == 2; }));
    if (wholeFolder) {
      std::filesystem::remove_all(std::filesystem::path(path).parent_path());
    } else {
      for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    }
    sendEvents(3, what + "-after");
    // The hits this run still holds in memory go into the new file too.
    ASSERT_TRUE(waitFor([&] { return stored() >= 3 && tracker_->pipeline()->firstFilter()->inputQueue()->isEmpty(); }));
    client_->dispatch();
    ASSERT_TRUE(waitFor([&] { return logger->contains(kSendFailed); }));
    stopClient();
    EXPECT_EQ(std::ranges::count_if(logger->lines(), [](const auto& line) {
                return line.text.find("<WARNING>") != std::string::npos &&
                       line.text.find("The store file is gone or replaced") != std::string::npos;
              }),
              1);

    startClient();
    client_->dispatch();
    ASSERT_TRUE(waitFor([&] { return deliveriesOf(what + "-after").size() == 3 && stored() == 0; }));
    for (const auto& [action, times] : deliveriesOf(what + "-after")) EXPECT_EQ(times, 1) << action;
    EXPECT_EQ(deliveriesOf(what + "-before").size(), 2u);
    for (const auto& [action, times] : deliveriesOf(what + "-before")) EXPECT_EQ(times, 1) << action;
    stopClient();
  }
}

TEST_F(GoogleAnalyticsPipelineTest, ClosingDuringADelayedAnswerKeepsTheHitForTheNextClient) {
  startClient();
  collector_.script({.delay = kNeverBeforeTheClientGoes});
  ASSERT_TRUE(storeThenDispatch(1));
  ASSERT_TRUE(waitFor([&] { return collector_.arrivals() == 1; }));
  stopClient();
  // Closing dropped the connection, so the collector is done with the request.
  ASSERT_TRUE(waitFor([&] { return collector_.count() == 1; }));

  startClient();
  EXPECT_EQ(stored(), 1u);
  client_->dispatch();
  ASSERT_TRUE(waitForRequests(2));
  ASSERT_TRUE(waitFor([&] { return stored() == 0; }));
  EXPECT_EQ(valueOf(pairsOf(queryOf(collector_.requests()[1])), "ea"), "act0");
}

constexpr int kKilledHits = 6;

// The child: stores kKilledHits hits, dispatches to the parent's collector,
// which holds the first answer back, and waits to be killed.
TEST_F(GoogleAnalyticsPipelineTest, DISABLED_SendsUntilKilled) {
  startClient([](ALKConfig& config) {
    ALKMeasurementConfig(config).setURLStringEndPoint(std::getenv("ALK_TEST_ENDPOINT"));
    config.setURLConnectionTimeout(60);
  });
  ASSERT_TRUE(storeThenDispatch(kKilledHits));
  for (;;) platform::RunLoop::main().runOnce(true);
}

TEST_F(GoogleAnalyticsPipelineTest, HitsOfAKilledProcessAreAllDeliveredByTheNextOne) {
  collector_.script({.delay = std::chrono::milliseconds(3000)});
  const pid_t child = spawnTestChild("GoogleAnalyticsPipelineTest.DISABLED_SendsUntilKilled",
                                     {"ALK_TEST_CHILD=1", "XDG_CACHE_HOME=" + cache_.path(),
                                      "ALK_TEST_ENDPOINT=" + collector_.endPoint()});
  ASSERT_GT(child, 0);
  ASSERT_TRUE(waitFor([&] { return collector_.arrivals() == 1; }));  // its first row is read, in flight
  ::kill(child, SIGKILL);
  waitForChild(child);

  startClient();
  EXPECT_EQ(stored(), static_cast<std::size_t>(kKilledHits));
  client_->dispatch();
  ASSERT_TRUE(waitFor([&] { return collector_.arrivals() >= kKilledHits + 1 && stored() == 0; }));
  ASSERT_TRUE(waitFor([&] { return collector_.count() == collector_.arrivals(); }));
  const auto deliveries = deliveriesByAction();
  EXPECT_EQ(deliveries.size(), static_cast<std::size_t>(kKilledHits));
  for (const auto& [action, times] : deliveries) EXPECT_LE(times, 2) << action;
}

constexpr int kFullDiskHits = 30;

// The child: starts as on a full disk (a file-size limit of 0, SIGXFSZ
// ignored), hands over kFullDiskHits hits while the store cannot be opened,
// then lifts the limit. Only the dispatch timer drives it from then on.
TEST_F(GoogleAnalyticsPipelineTest, DISABLED_StartsOnAFullDisk) {
  RecordingLoggerScope logger;
  ASSERT_NE(::signal(SIGXFSZ, SIG_IGN), SIG_ERR);
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlim_t room = limit.rlim_cur;
  limit.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  startClient([](ALKConfig& config) { config.setRateLimit(0); });
  client_->config()->setDispatchInterval(0.05);
  const auto clock = useManualStoreClock();
  const auto failedOpens = [&] { return logger->count("Failed to add persistent store, error: "); };

  sendEvents(kFullDiskHits);
  ASSERT_TRUE(waitFor([&] { return failedOpens() == 1; }));
  idle(std::chrono::milliseconds(300));  // dispatches come and go, no new try before its time
  EXPECT_EQ(failedOpens(), 1u);
  // Still full at the later tries, each its interval after the one before.
  for (const double interval : {1.0, 2.0, 4.0}) {
    const std::size_t before = failedOpens();
    clock->advance(interval);
    ASSERT_TRUE(waitFor([&] { return failedOpens() == before + 1; })) << interval;
  }
  EXPECT_EQ(stored(), 0u);
  EXPECT_EQ(collector_.count(), 0u);

  limit.rlim_cur = room;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  clock->advance(8.0);
  ASSERT_TRUE(waitFor([&] { return collector_.count() >= kFullDiskHits && stored() == 0; }));
  idle(std::chrono::milliseconds(300));
  const auto deliveries = deliveriesByAction();
  EXPECT_EQ(deliveries.size(), static_cast<std::size_t>(kFullDiskHits));
  for (const auto& [action, times] : deliveries) EXPECT_EQ(times, 1) << action;
  EXPECT_EQ(failedOpens(), 4u);
  EXPECT_FALSE(logger->contains("corrupt"));
}

TEST_F(GoogleAnalyticsPipelineTest, HitsHandedOverOnAFullDiskAtStartAreDeliveredOnceSpaceComesBack) {
  EXPECT_TRUE(childPasses("DISABLED_StartsOnAFullDisk"));
}

std::string contentsOf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// A store file damaged between two runs (cut short by a crash during a
// checkpoint, or overwritten) is moved aside untouched, and the next run
// stores and delivers its own hits in a new file.
TEST_F(GoogleAnalyticsPipelineTest, ACorruptStoreIsMovedAsideAndTheNextRunDeliversItsHits) {
  RecordingLoggerScope logger;
  const std::vector<std::pair<const char*, std::function<std::string(const std::string&)>>> damages = {
      {"cut in half", [](const std::string& bytes) { return bytes.substr(0, bytes.size() / 2); }},
      {"random bytes",
       [](const std::string& bytes) {
         std::mt19937 random(7);
         std::string noise(bytes.size(), '\0');
         for (char& byte : noise) byte = static_cast<char>(random());
         return noise;
       }},
  };
  for (const auto& [damage, damaged] : damages) {
    SCOPED_TRACE(damage);
    logger->clear();
    startClient();
    const std::string path = tracker_->config()->pendingRequestsURL()->filePath();
    sendEvents(20, "first");
    ASSERT_TRUE(waitFor([&] { return stored() == 20; }));
    stopClient();
    ASSERT_TRUE(waitFor([&] { return !std::filesystem::exists(path + "-wal"); }));
    const std::string bytes = damaged(contentsOf(path));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

    const std::size_t before = collector_.count();
    startClient();
    ASSERT_TRUE(storeThenDispatch(3, "second"));
    ASSERT_TRUE(waitFor([&] { return collector_.count() == before + 3 && stored() == 0; }));
    for (std::size_t index = before; index < before + 3; ++index) {
      EXPECT_EQ(valueOf(pairsOf(queryOf(collector_.requests()[index])), "ec"), "second");
    }
    std::vector<std::string> moved;
    const std::string prefix = std::filesystem::path(path).filename().string() + ".corrupt-";
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
      const std::string name = entry.path().filename().string();
      // The journal files that the failed open found or made went with it.
      if (name.starts_with(prefix) && !name.ends_with("-wal") && !name.ends_with("-shm")) {
        moved.push_back(entry.path().string());
      }
    }
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(contentsOf(moved[0]), bytes);
    EXPECT_EQ(logger->count(path + " -> " + moved[0]), 1u);
    stopClient();
    std::filesystem::remove(moved[0]);
  }
}

// The store on the mounts users have. Each child below runs the client as
// the application does, against a collector of its own, with system calls
// failing on its word as a mount or a moment answers them (FailingCalls.h).

// The child of the failing look: hits stored, then more handed over while
// the looks at the store file (ALK_TEST_CALLS: "stat" or "every") fail with
// ALK_TEST_ERRNO.
TEST_F(GoogleAnalyticsPipelineTest, DISABLED_DeliversHitsHeldWhileALookFails) {
  FailingCalls calls;
  ASSERT_TRUE(calls.isLoaded()) << "not preloaded";
  const int failure = std::atoi(std::getenv("ALK_TEST_ERRNO"));
  const bool everyLook = std::string(std::getenv("ALK_TEST_CALLS")) == "every";
  // stat() alone saying "no such file" of a file that is there: the open
  // finds the file in use at the path, and no save waits.
  const bool waits = failure != ENOENT || everyLook;
  RecordingLoggerScope logger;
  startClient();
  const auto clock = useManualStoreClock();
  const auto input = tracker_->pipeline()->firstFilter()->inputQueue();
  sendEvents(10, "held");
  ASSERT_TRUE(waitFor([&] { return stored() == 10; }));
  calls.failPath(storePath(), failure, everyLook ? FailingCalls::kEveryLook : FailingCalls::kStat);
  sendEvents(5, "handed-over");
  ASSERT_TRUE(waitFor([&] {
    return calls.pathFailures() > 0 && (input->isEmpty() || logger->contains("Unable to save changes: "));
  }));
  EXPECT_EQ(input->count(), waits ? 5u : 0u) << "hits stored while the look failed";
  // The availability check that could not look counts nothing either.
  if (failure != ENOENT) {
    EXPECT_EQ(ALKActivityStore::countActivityRequestsInFile(storePath()), std::nullopt);
  }
  calls.endPathFailures();
  ASSERT_TRUE(waitFor([&] {
    clock->advance(60.0);
    return input->isEmpty() && stored() >= 15;
  }));
  client_->dispatch();
  ASSERT_TRUE(waitFor([&] { return collector_.count() >= 15 && stored() == 0; }));
  idle(std::chrono::milliseconds(300));
  EXPECT_EQ(collector_.count(), 15u);
  for (const auto& [category, count] : std::map<std::string, std::size_t>{{"held", 10}, {"handed-over", 5}}) {
    EXPECT_EQ(deliveriesOf(category).size(), count) << category;
    for (const auto& [action, times] : deliveriesOf(category)) EXPECT_EQ(times, 1) << category << " " << action;
  }
  EXPECT_FALSE(logger->contains("The store file is gone or replaced"));
}

// A look at the store file that fails (a folder closed to this user for a
// moment, a failing disk, a stale NFS handle) says nothing of the file: the
// save it meets waits, to be tried again, and every hit held is delivered
// once. A look that says "no such file" of the file still in use writes none
// of them twice, whether the open finds that file at the path or cannot
// open anything there either.
TEST_F(GoogleAnalyticsPipelineTest, HitsHeldWhileALookAtTheStoreFailsAreEachDeliveredOnce) {
  for (const auto& [failure, calls] : std::vector<std::pair<int, std::string>>{
           {EIO, "stat"}, {EACCES, "every"}, {ENOENT, "stat"}, {ENOENT, "every"}}) {
    EXPECT_TRUE(childPasses("DISABLED_DeliversHitsHeldWhileALookFails",
                            FailingCalls::childEnvironment({"ALK_TEST_ERRNO=" + std::to_string(failure),
                                                            "ALK_TEST_CALLS=" + calls})))
        << std::strerror(failure) << ", " << calls;
  }
}

// The child of the mount without hard links or rename flags: a damaged
// store file, with its journal, at the store's path.
TEST_F(GoogleAnalyticsPipelineTest, DISABLED_SetsADamagedStoreAsideWithoutLinks) {
  FailingCalls calls;
  ASSERT_TRUE(calls.isLoaded()) << "not preloaded";
  calls.refuseLinks(true);
  RecordingLoggerScope logger;
  startClient();
  const std::filesystem::path folder = std::filesystem::path(storePath()).parent_path();
  std::filesystem::create_directories(folder);
  const std::string damaged(8192, 'Z');
  const std::string journal = "the journal of the damaged file";
  std::ofstream(storePath(), std::ios::binary) << damaged;
  std::ofstream(storePath() + "-wal", std::ios::binary) << journal;
  ASSERT_TRUE(storeThenDispatch(3, "later"));
  ASSERT_TRUE(waitFor([&] { return collector_.count() >= 3 && stored() == 0; }));
  idle(std::chrono::milliseconds(300));
  EXPECT_EQ(collector_.count(), 3u);
  EXPECT_EQ(deliveriesOf("later").size(), 3u);
  for (const auto& [action, times] : deliveriesOf("later")) EXPECT_EQ(times, 1) << action;
  const auto aside = filesNamed(folder, ".corrupt-");
  ASSERT_EQ(aside.size(), 1u) << ::testing::PrintToString(aside);
  EXPECT_TRUE(fileBytes(aside[0]) == damaged);
  EXPECT_EQ(fileBytes(aside[0] + "-wal"), journal);
  EXPECT_FALSE(logger->contains("Unable to move the corrupt store aside"));
}

// A mount that refuses hard links and renameat2's flags (a VM's shared
// folder, some network and FUSE file systems) still gets a damaged store
// moved aside, and the hits after it arrive once.
TEST_F(GoogleAnalyticsPipelineTest, WithoutHardLinksOrRenameFlagsADamagedStoreGoesAsideAndLaterHitsArriveOnce) {
  EXPECT_TRUE(childPasses("DISABLED_SetsADamagedStoreAsideWithoutLinks", FailingCalls::childEnvironment()));
}

// The child of the mount that does not say its sizes.
TEST_F(GoogleAnalyticsPipelineTest, DISABLED_StoresOnAMountWithoutSizes) {
  FailingCalls calls;
  ASSERT_TRUE(calls.isLoaded()) << "not preloaded";
  calls.hideDiskSizes(true);
  RecordingLoggerScope logger;
  startClient();
  ASSERT_TRUE(storeThenDispatch(10, "unsized"));
  ASSERT_TRUE(waitFor([&] { return collector_.count() >= 10 && stored() == 0; }));
  idle(std::chrono::milliseconds(300));
  EXPECT_EQ(collector_.count(), 10u);
  for (const auto& [action, times] : deliveriesOf("unsized")) EXPECT_EQ(times, 1) << action;
  EXPECT_FALSE(logger->contains("disk is full"));
}

// A mount whose statvfs reports every count 0 (FUSE answers so for a file
// system without a statfs of its own) has room as far as the store knows:
// hits are stored and delivered.
TEST_F(GoogleAnalyticsPipelineTest, OnAMountThatReportsNoSizesHitsAreStoredAndDelivered) {
  EXPECT_TRUE(childPasses("DISABLED_StoresOnAMountWithoutSizes", FailingCalls::childEnvironment()));
}

TEST(ALKGATrackerTest, FileNamesPacingAndStoreSize) {
  EXPECT_EQ(ALKGATracker::pendingRequestsURL("GoogleAnalytics", "UA/../%x")->filePath().substr(
                ALKGATracker::pendingRequestsURL("GoogleAnalytics", "")->filePath().size() - 7),
            "UA%2F..%2F%25x.sqlite");
  EXPECT_FALSE(ALKGATracker::pendingRequestsURL("GoogleAnalytics", std::string("UA\0x", 4)));
  EXPECT_EQ(ALKGATracker::dequeueRateForRateLimit(0.5), 2.0);
  EXPECT_EQ(ALKGATracker::dequeueRateForRateLimit(-4), 0.25);
  EXPECT_EQ(ALKGATracker::dequeueRateForRateLimit(0), 0.0);
  EXPECT_EQ(ALKGATracker::dequeueRateForRateLimit(1e-300), ALKGATracker::kMaxDequeueRate);
  EXPECT_EQ(ALKGATracker::dequeueRateForRateLimit(std::numeric_limits<double>::infinity()), 0.0);

  // The update gives the send stage its pacing and the store its size, the
  // latter on the store queue.
  TemporaryDirectory folder;
  const auto store = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(folder.file("store.sqlite")));
  const auto storeQueue = platform::DispatchQueue::serial(ALKGATracker::kStoreQueueLabel);
  const auto write = ALKWriteActivityRequestFilter::filterWithActivityStore(store, ALKQueue::queue(), nullptr, storeQueue);
  const auto send = ALKSendMeasurementActivityFilter::filterWithInputQueue(ALKQueue::queue(), nullptr, nullptr);
  const auto tracker = std::make_shared<ALKTracker>();
  tracker->config()->setQueueLimit(7);
  tracker->config()->setRateLimit(4);
  ALKGATracker::googleAnalyticsUpdateFilter(*tracker, *write);
  ALKGATracker::googleAnalyticsUpdateFilter(*tracker, *send);
  storeQueue->sync([] {});
  EXPECT_EQ(store->capacity(), 7u);
  EXPECT_EQ(send->dequeueRate(), 0.25);
  EXPECT_EQ(write->dequeueRate(), 0.0);

  // The size follows every change of the limit, back to an earlier one too,
  // whether or not the store queue has caught up in between.
  tracker->config()->setQueueLimit(3);
  ALKGATracker::googleAnalyticsUpdateFilter(*tracker, *write);
  tracker->config()->setQueueLimit(7);
  ALKGATracker::googleAnalyticsUpdateFilter(*tracker, *write);
  storeQueue->sync([] {});
  EXPECT_EQ(store->capacity(), 7u);
  tracker->config()->setQueueLimit(3);
  ALKGATracker::googleAnalyticsUpdateFilter(*tracker, *write);
  ALKGATracker::googleAnalyticsUpdateFilter(*tracker, *write);
  storeQueue->sync([] {});
  EXPECT_EQ(store->capacity(), 3u);
}

}  // namespace
