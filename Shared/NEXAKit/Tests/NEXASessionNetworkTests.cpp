#include <gtest/gtest.h>

#include <netinet/in.h>

#include <fstream>

#include "DQDirectPrinterURLResolver.h"
#include "DQNEXAError.h"
#include "DQNEXASingleOperationDescriptor.h"
#include "DQNetServicePrinterURLResolver.h"
#include "Dispatch/DispatchQueue.h"
#include "NEXATestSupport.h"
#include "Simulation/ServiceDiscovery/FakeServiceBackend.h"

using namespace platform;
using namespace nexatest;

namespace {

Data address(int family, const char* text) {
  if (family == AF_INET) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    inet_pton(AF_INET, text, &v4.sin_addr);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&v4);
    return Data(begin, begin + sizeof(v4));
  }
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, text, &v6.sin6_addr);
  const auto* begin = reinterpret_cast<const std::uint8_t*>(&v6);
  return Data(begin, begin + sizeof(v6));
}

// A POST whose body alternatives are tried in order.
class PostAlternatives : public DQNEXASingleOperationDescriptor, public IDQPostDataNEXAOperationDescriptor {
 public:
  PostAlternatives() : DQNEXASingleOperationDescriptor("post", "Post", std::nullopt, false, 20, 3, 0.05) {}
  Value dataToPostForOperation(const DQNEXAAccessOperation&, ErrorPtr*) const override {
    return Array{testsupport::bytes("<a/>"), testsupport::bytes("<b/>")};
  }
};

// A descriptor with no path at all.
class NoPath : public DQNEXASingleOperationDescriptor {
 public:
  NoPath() : DQNEXASingleOperationDescriptor("nopath", "unused", std::nullopt, false, 20, 3, 0.05) {}
  std::optional<std::string> URLPathForOperation(const DQNEXAAccessOperation&, ErrorPtr*) const override {
    return std::string();
  }
};

// Asks for the tree again while `wanted` answers true, and keeps what it saw.
class Monitor : public DQNEXASingleOperationDescriptor, public IDQNEXAMonitoringOperationDescriptor {
 public:
  explicit Monitor(std::function<bool(int consulted)> wanted)
      : DQNEXASingleOperationDescriptor("monitor", "DevMgmt/DiscoveryTree.xml", DQNEXAResultClass::XMLDocument(),
                                        false, 20, 3, 0.05),
        wanted_(std::move(wanted)) {}
  bool continueMonitoringForResult(const ObjectPtr& result, const ErrorPtr& error) override {
    ++consulted;
    resultsSeen += result && !error;
    return wanted_(consulted);
  }
  void setReachRetryTimeout(bool reached) override { reachedLimit = reached; }

  int consulted = 0;
  int resultsSeen = 0;
  bool reachedLimit = false;

 private:
  const std::function<bool(int)> wanted_;
};

// The text of a document's root element.
std::string rootText(const ObjectPtr& result) {
  auto document = std::dynamic_pointer_cast<DQXMLDocument>(result);
  auto root = document ? document->nodeForXPath("/*") : nullptr;
  return root && root->stringValue() ? *root->stringValue() : std::string();
}

// The credentials the user gives, by retry: wrong, then right (or a
// cancellation when `cancel` is set).
struct Credentials {
  struct Call {
    bool onMain;
    std::uint64_t retry;
    std::string space;
  };
  std::vector<Call> calls;
  bool cancel = false;
  DQNEXASession::CredentialsBlock block() {
    return [this](const std::shared_ptr<DQURLAuthenticationChallenge>& challenge, std::uint64_t retry) {
      const auto& space = challenge->protectionSpace();
      calls.push_back({DispatchQueue::isMainThread(), retry,
                       space.host() + ":" + std::to_string(space.port()) + " " + space.protocol() + " " +
                           space.realm().value_or("") + " " + space.authenticationMethod()});
      if (cancel) return challenge->cancellChallenge();
      challenge->completeChallengeWithUserName("admin", retry == 1 ? "wrong" : "secret");
    };
  }
};

class NEXANetworkSessionTest : public ::testing::Test {
 protected:
  std::shared_ptr<DQNEXASession> sessionWithBaseURL() {
    auto session = DQNEXASession::make(std::nullopt, printer.baseURL(), false, false, credentials.block());
    registerTreeAndConfig(*session);
    return session;
  }
  // A session that resolves `uri` with the resolver `factory` makes.
  std::shared_ptr<DQNEXASession> resolvingSession(const std::string& uri,
                                                  DQPrinterResolvingOperation::ResolverFactory factory) {
    auto session = DQNEXASession::make(Url::fromString(uri), std::nullopt, false, false, credentials.block());
    session->setResolverFactory(std::move(factory));
    registerTreeAndConfig(*session);
    return session;
  }
  DQPrinterResolvingOperation::ResolverFactory dnssd() {
    return [this](const std::optional<Url>& uri) { return std::make_shared<DQNetServicePrinterURLResolver>(*uri, backend); };
  }
  static DQPrinterResolvingOperation::ResolverFactory direct(std::vector<std::string> urls) {
    return [urls](const std::optional<Url>& uri) {
      Array access;
      for (const auto& text : urls) access.push_back(*Url::fromString(text));
      return std::make_shared<DQDirectPrinterURLResolver>(*uri, Dictionary{{"AccessURLs", access}});
    };
  }

  // How many requests for `path` the printer saw.
  int sent(const std::string& path) const {
    int count = 0;
    for (const auto& request : printer.requests()) count += request.path == path;
    return count;
  }
  // Network exchanges that were closed after their end: a pass has read its
  // answer.
  int closedExchanges() const {
    int count = 0;
    for (const auto& [level, line] : log.lines()) count += line == "[DQNetworkHTTPStream] - ended -> closed";
    return count;
  }

  LoopbackPrinter printer;
  Credentials credentials;
  std::shared_ptr<FakeServiceBackend> backend = std::make_shared<FakeServiceBackend>();
  testsupport::CapturedLog log;
};

// How long `step` blocked.
template <class Step>
std::chrono::steady_clock::duration timed(Step&& step) {
  const auto start = std::chrono::steady_clock::now();
  step();
  return std::chrono::steady_clock::now() - start;
}

}  // namespace

TEST_F(NEXANetworkSessionTest, ResolutionThroughDNSSDKeepsTheLocalPortAndProbesTheTree) {
  backend->addService("Printer", "_http._tcp", "local",
                      ResolvedService{"localhost.", printer.port(), {address(AF_INET6, "::1"), address(AF_INET, "127.0.0.1")}, {}});
  auto session = resolvingSession("dnssd://Printer._http._tcp.local", dnssd());
  ResolveAnswer resolved;
  session->schedulePrinterResolve(resolved.block());
  EXPECT_EQ(session->printerResolvingState(), DQNEXASession::kResolving);
  ASSERT_TRUE(resolved.wait());
  EXPECT_FALSE(resolved.error);
  EXPECT_EQ(session->printerResolvingState(), DQNEXASession::kResolved);
  const std::string port = std::to_string(printer.port());
  const std::vector<std::string> urls{"http://localhost.:" + port + "/", "http://[::1]:" + port + "/",
                                      "http://127.0.0.1:" + port + "/"};
  EXPECT_EQ(resolved.texts("AccessURLs"), urls);
  EXPECT_EQ(resolved.texts("HostNames"), std::vector<std::string>{"localhost."});
  EXPECT_EQ(resolved.texts("IPAddresses"), (std::vector<std::string>{"::1", "127.0.0.1"}));
  const auto base = session->printerResolvingContext()->baseNEXAURL();
  ASSERT_TRUE(base);
  EXPECT_NE(std::find(urls.begin(), urls.end(), base->absoluteString()), urls.end());
  EXPECT_EQ(printer.paths(), std::vector<std::string>{"GET /DevMgmt/DiscoveryTree.xml"});
  EXPECT_TRUE(log.contains(kDQLogLevelInfo, "[DQPrinterResolvingOperation] - Printer resolving succeeded"));

  // A request then runs on the resolved base URL.
  expectConfig(runRequest(*session, "config").result);
}

TEST_F(NEXANetworkSessionTest, ProbeMovesFromARefusedURLToTheNextOne) {
  auto session = resolvingSession("http://printer.invalid/",
                                  direct({"http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/",
                                          printer.url("/")}));
  ResolveAnswer resolved;
  session->schedulePrinterResolve(resolved.block());
  ASSERT_TRUE(resolved.wait());
  EXPECT_FALSE(resolved.error);
  EXPECT_EQ(session->printerResolvingContext()->baseNEXAURL()->absoluteString(), printer.url("/"));
  EXPECT_EQ(resolved.texts("AccessURLs").size(), 2u);
}

TEST_F(NEXANetworkSessionTest, NegativeResolutionsAnswerEveryRequestWithTheirError) {
  // A service on a port nobody listens on refuses: inaccessible.
  backend->addService("Gone", "_http._tcp", "local",
                      ResolvedService{"localhost.", testsupport::closedPort(), {address(AF_INET, "127.0.0.1")}, {}});
  auto refused = resolvingSession("dnssd://Gone._http._tcp.local", dnssd());
  Answer request;
  refused->scheduleRequestRegisteredWithName("config", request.block());
  ResolveAnswer resolved;
  refused->schedulePrinterResolve(resolved.block());
  ASSERT_TRUE(resolved.wait());
  EXPECT_TRUE(DQNEXAError::isNEXAError(resolved.error, DQNEXAError::kInaccessible));
  EXPECT_EQ(refused->printerResolvingState(), DQNEXASession::kInaccessible);
  ASSERT_TRUE(request.wait());
  EXPECT_EQ(request.code(), DQNEXAError::kInaccessible);
  EXPECT_FALSE(refused->checkResolvingStatus(resolved.block()));
  EXPECT_EQ(resolved.calls, 2);

  // A printer without the tree (404) is inaccessible too.
  auto missing = resolvingSession("http://printer.invalid/", direct({printer.url("/nothing/")}));
  ResolveAnswer notFound;
  missing->schedulePrinterResolve(notFound.block());
  ASSERT_TRUE(notFound.wait());
  EXPECT_TRUE(DQNEXAError::isNEXAError(notFound.error, DQNEXAError::kInaccessible));
  EXPECT_TRUE(log.contains(kDQLogLevelError, "[DQPrinterResolvingOperation] - Printer resolving failed (Device Inaccessible)"));

  // A tree behind credentials: the probe has none to give, so no NEXA.
  auto garbled = resolvingSession("http://printer.invalid/", direct({printer.url("/locked/")}));
  ResolveAnswer unsupported;
  garbled->schedulePrinterResolve(unsupported.block());
  ASSERT_TRUE(unsupported.wait());
  EXPECT_TRUE(DQNEXAError::isNEXAError(unsupported.error, DQNEXAError::kCannotRequest));
  EXPECT_EQ(garbled->printerResolvingState(), DQNEXASession::kFailed);

  // A resolver that declines without answering ends the resolution at once.
  auto declined = resolvingSession("http://printer.invalid/", [](const std::optional<Url>& uri) {
    return std::make_shared<DQPrinterURLResolver>(uri);
  });
  ResolveAnswer nothing;
  declined->schedulePrinterResolve(nothing.block());
  ASSERT_TRUE(nothing.wait());
  EXPECT_TRUE(DQNEXAError::isNEXAError(nothing.error, DQNEXAError::kCannotRequest));

  // No address at all.
  auto nowhere = DQNEXASession::make(std::nullopt, std::nullopt, nullptr);
  ResolveAnswer none;
  EXPECT_FALSE(nowhere->checkResolvingStatus(none.block()));
  EXPECT_EQ(none.error->code(), DQNEXAError::kNotResolved);
  nowhere->schedulePrinterResolve(none.block());
  EXPECT_EQ(none.calls, 2);
  EXPECT_EQ(none.error->code(), DQNEXAError::kCannotRequest);
  EXPECT_EQ(nowhere->printerResolvingState(), DQNEXASession::kFailed);
}

TEST_F(NEXANetworkSessionTest, DependentRequestAsksForCredentialsOnMainThenAnswersFromTheCache) {
  auto session = sessionWithBaseURL();
  const Answer config = runRequest(*session, "config");
  EXPECT_TRUE(config.onMain);
  EXPECT_FALSE(config.error);
  expectConfig(config.result);

  const auto requests = printer.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].path, "/DevMgmt/DiscoveryTree.xml");
  EXPECT_EQ(requests[1].authorization, "");
  EXPECT_EQ(requests[2].authorization, "Basic YWRtaW46d3Jvbmc=");
  EXPECT_EQ(requests[3].authorization, "Basic YWRtaW46c2VjcmV0");
  const std::string space = "127.0.0.1:" + std::to_string(printer.port()) + " http Printer " +
                            ProtectionSpace::kAuthenticationMethodHTTPBasic;
  ASSERT_EQ(credentials.calls.size(), 2u);
  for (std::uint64_t retry : {1u, 2u}) {
    EXPECT_TRUE(credentials.calls[retry - 1].onMain);
    EXPECT_EQ(credentials.calls[retry - 1].retry, retry);
    EXPECT_EQ(credentials.calls[retry - 1].space, space);
  }

  // Cached: answered inside the call, nothing sent.
  Answer again;
  session->scheduleRequestRegisteredWithName("config", again.block());
  EXPECT_EQ(again.calls, 1);
  EXPECT_EQ(again.result, config.result);
  EXPECT_EQ(session->cachedResultForRequestRegisteredWithName("config"), config.result);
  EXPECT_EQ(printer.requests().size(), 4u);

  // The same realm elsewhere takes the credentials that worked, unasked.
  Answer other;
  session->scheduleDataRetrievingForPath("/DevMgmt/Other.xml", DQNEXAResultClass::XMLDocument(), other.block());
  ASSERT_TRUE(other.wait());
  EXPECT_FALSE(other.error);
  EXPECT_EQ(credentials.calls.size(), 2u);

  // A changed password prompts again, and the requests stay bounded.
  printer.setPassword("changed");
  credentials.cancel = true;
  const auto before = printer.requests().size();
  Answer changed;
  session->scheduleDataRetrievingForPath("/DevMgmt/Other.xml", std::nullopt, changed.block());
  ASSERT_TRUE(changed.wait());
  EXPECT_EQ(changed.code(), DQNEXAError::kUnauthorized);
  EXPECT_EQ(credentials.calls.size(), 3u);
  EXPECT_EQ(printer.requests().size() - before, 2u);
  EXPECT_TRUE(changed.error->underlyingError()->is(Error::kURLErrorDomain, 401));

  // The user cancels a prompt of a registered request: the request is named.
  auto fresh = sessionWithBaseURL();
  const Answer refused = runRequest(*fresh, "config");
  EXPECT_EQ(refused.code(), DQNEXAError::kUnauthorized);
  EXPECT_EQ(refused.error->userInfo().objectForKey("RequestName").stringValue(), "config");
}

TEST_F(NEXANetworkSessionTest, StatusUploadsPostAlternativesAndFailures) {
  auto session = sessionWithBaseURL();
  registerPolled(*session, "status", "Jobs/Status", 0.05);
  const Answer status = runRequest(*session, "status");
  EXPECT_FALSE(status.error);
  EXPECT_EQ(sent("/Jobs/Status"), 3);

  Answer first, second;
  const auto one = session->scheduleDataUploading(testsupport::bytes("<s>1</s>"), "DevMgmt/Settings.xml", first.block());
  const auto two = session->scheduleDataUploading(testsupport::bytes("<s>2</s>"), "DevMgmt/Settings.xml", second.block());
  ASSERT_TRUE(one && two);
  EXPECT_NE(*one, *two);
  ASSERT_TRUE(pumpMain([&] { return first.calls && second.calls; }));
  EXPECT_FALSE(first.result || first.error || second.result || second.error);
  std::vector<std::string> bodies;
  for (const auto& request : printer.requests()) {
    if (request.method != "PUT") continue;
    EXPECT_EQ(request.contentType, "text/xml;charset=UTF-8");
    bodies.push_back(request.body);
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"<s>1</s>", "<s>2</s>"}));

  // The second alternative is accepted: no stale error from the first.
  Answer post;
  session->scheduleRequestWithDescriptor(std::make_shared<PostAlternatives>(), post.block());
  ASSERT_TRUE(post.wait());
  EXPECT_FALSE(post.error);
  int posts = 0;
  for (const auto& request : printer.requests()) posts += request.method == "POST";
  EXPECT_EQ(posts, 2);

  Answer missing, boom;
  session->scheduleDataRetrievingForPath("Missing", std::nullopt, missing.block());
  session->scheduleDataRetrievingForPath("Boom", std::nullopt, boom.block());
  ASSERT_TRUE(pumpMain([&] { return missing.calls && boom.calls; }));
  EXPECT_EQ(missing.code(), DQNEXAError::kNoPath);
  EXPECT_TRUE(missing.error->underlyingError()->is(Error::kURLErrorDomain, 404));
  EXPECT_EQ(boom.code(), DQNEXAError::kUnexpectedStatus);

  // An unknown dependency or a cycle is refused at once, with nothing sent.
  const auto sent = printer.requests().size();
  session->registerDataRetrievingRequest("orphan", {"unknown"}, "x", std::nullopt, false);
  session->registerDataRetrievingRequest("a", {"b"}, "a", std::nullopt, false);
  session->registerDataRetrievingRequest("b", {"a"}, "b", std::nullopt, false);
  session->registerDataRetrievingRequest("self", {"self"}, "s", std::nullopt, false);
  for (const char* name : {"orphan", "a", "self"}) {
    Answer refused;
    EXPECT_FALSE(session->scheduleRequestRegisteredWithName(name, refused.block()));
    EXPECT_EQ(refused.calls, 1) << name;
    EXPECT_EQ(refused.code(), DQNEXAError::kDependencyMissing) << name;
  }
  pumpFor(std::chrono::milliseconds(100));
  EXPECT_EQ(printer.requests().size(), sent);
}

TEST_F(NEXANetworkSessionTest, CancelledSlowRequestNeverCallsBack) {
  auto session = sessionWithBaseURL();
  Answer slow;
  const auto name = session->scheduleDataRetrievingForPath("Slow", std::nullopt, slow.block());
  ASSERT_TRUE(name);
  ASSERT_TRUE(pumpMain([&] { return !printer.requests().empty(); }));
  session->cancelRequest(*name);
  pumpFor(std::chrono::milliseconds(300));
  // The same name again: only the new request is answered.
  Answer again;
  EXPECT_EQ(session->scheduleDataRetrievingForPath("Slow", std::nullopt, again.block()), name);
  printer.releaseSlow();
  ASSERT_TRUE(again.wait());
  EXPECT_FALSE(again.error);
  drainMain();
  EXPECT_EQ(again.calls, 1);
  EXPECT_EQ(slow.calls, 0) << (slow.error ? slow.error->description() : "no error");
  const auto start = std::chrono::steady_clock::now();
  session->cancelAllRequests(true);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  // Cancelled after its end but before its answer reached the main queue,
  // while a dependent request keeps it: neither that answer nor its result
  // go to the next request of the name.
  session->registerDataRetrievingRequest("count", "Count", DQNEXAResultClass::XMLDocument(), 3, false);
  session->registerDataRetrievingRequest("after count", {"count"}, "count{'stringValue'}", std::nullopt, false);
  Answer dependent, second;
  session->scheduleRequestRegisteredWithName("after count", dependent.block());
  session->waitUntilAllOperationsAreFinished();
  session->cancelRequest("count");
  session->scheduleRequestRegisteredWithName("count", second.block());
  ASSERT_TRUE(pumpMain([&] { return dependent.calls && second.calls; }));
  EXPECT_EQ(rootText(second.result), "2");
  drainMain();
  EXPECT_EQ(second.calls, 1);
}

TEST_F(NEXANetworkSessionTest, CancelEndsEveryWaitOfARequestAtOnce) {
  // Far below the pause between 202 answers (10 s) and the printer's hold of
  // "Slow" (5 s), far above what a woken wait takes.
  constexpr auto kPrompt = std::chrono::seconds(2);
  std::shared_ptr<DQURLAuthenticationChallenge> unanswered;
  auto session = DQNEXASession::make(std::nullopt, printer.baseURL(), false, false,
                                     [&](const std::shared_ptr<DQURLAuthenticationChallenge>& challenge,
                                         std::uint64_t) { unanswered = challenge; });
  registerPolled(*session, "busy", "Busy", 10.0);
  Answer never;
  // Schedules the always-busy request and waits until it pauses after its
  // first answer.
  auto pausing = [&] {
    const int before = closedExchanges();
    session->scheduleRequestRegisteredWithName("busy", never.block());
    ASSERT_TRUE(pumpMain([&] { return closedExchanges() > before; }));
  };

  pausing();
  session->cancelRequest("busy");
  EXPECT_LT(timed([&] { session->waitUntilAllOperationsAreFinished(); }), kPrompt);
  pausing();
  EXPECT_LT(timed([&] { session->cancelAllRequests(true); }), kPrompt);

  // The loading of an answer that does not come.
  const auto slow = session->scheduleDataRetrievingForPath("Slow", std::nullopt, never.block());
  ASSERT_TRUE(pumpMain([&] { return sent("/Slow") == 1; }));
  session->cancelRequest(*slow);
  EXPECT_LT(timed([&] { session->waitUntilAllOperationsAreFinished(); }), kPrompt);

  // Credentials the user does not give.
  const auto locked = session->scheduleDataRetrievingForPath("DevMgmt/Other.xml", std::nullopt, never.block());
  ASSERT_TRUE(pumpMain([&] { return unanswered != nullptr; }));
  session->cancelRequest(*locked);
  EXPECT_LT(timed([&] { session->waitUntilAllOperationsAreFinished(); }), kPrompt);

  // Destroying the session cancels its operations and joins its worker.
  pausing();
  EXPECT_LT(timed([&] { session.reset(); }), kPrompt);
  drainMain();
  EXPECT_EQ(never.calls, 0);
  EXPECT_EQ(sent("/Busy"), 3);
}

TEST_F(NEXANetworkSessionTest, CancellingOrRestartingAResolvingNeverStrandsItsCallers) {
  auto session = resolvingSession("http://printer.invalid/", silentResolver());
  // Every completion scheduled before a cancel during the resolving is
  // dropped.
  ResolveAnswer dropped, alsoDropped;
  Answer droppedRequest;
  session->schedulePrinterResolve(dropped.block());
  session->scheduleRequestRegisteredWithName("config", droppedRequest.block());
  session->cancelAllRequests(true);
  session->schedulePrinterResolve(alsoDropped.block());
  session->cancelAllOperations(true);
  EXPECT_EQ(session->printerResolvingState(), DQNEXASession::kNotResolved);
  // The next resolve starts a new resolving and is answered.
  session->setResolverFactory(direct({printer.url("/")}));
  ResolveAnswer later;
  session->schedulePrinterResolve(later.block());
  ASSERT_TRUE(later.wait());
  EXPECT_FALSE(later.error);
  expectConfig(runRequest(*session, "config").result);
  // So it does when the resolving operation is cancelled by someone who holds it.
  session->setResolverFactory(silentResolver());
  session->setNeedsReresolve();
  session->schedulePrinterResolve(dropped.block());
  session->printerResolvingOperation()->cancel();
  ASSERT_TRUE(pumpMain([&] { return session->printerResolvingState() == DQNEXASession::kNotResolved; }));
  drainMain();
  EXPECT_EQ(dropped.calls + alsoDropped.calls + droppedRequest.calls, 0);

  // The first request after a cancelled resolving waits for the resolving
  // it starts itself.
  auto restarted = resolvingSession("http://printer.invalid/", silentResolver());
  restarted->schedulePrinterResolve(nullptr);
  restarted->cancelPrinterResolve(true);
  restarted->setResolverFactory(direct({printer.url("/")}));
  const Answer config = runRequest(*restarted, "config");
  EXPECT_FALSE(config.error) << config.error->description();
  expectConfig(config.result);

  // Callers waiting when the resolving is restarted get the new outcome,
  // requests (here "config" and the "tree" it needs) as well as resolves...
  auto reresolved = resolvingSession("http://printer.invalid/", silentResolver());
  ResolveAnswer waiting;
  Answer waitingRequest;
  reresolved->scheduleRequestRegisteredWithName("config", waitingRequest.block());
  reresolved->setResolverFactory(direct({printer.url("/")}));
  reresolved->setNeedsReresolve();
  ASSERT_TRUE(waitingRequest.wait());
  EXPECT_FALSE(waitingRequest.error) << waitingRequest.error->description();
  expectConfig(waitingRequest.result);
  reresolved->setResolverFactory(silentResolver());
  reresolved->setNeedsReresolve();
  reresolved->schedulePrinterResolve(waiting.block());
  reresolved->scheduleDataRetrievingForPath("DevMgmt/DiscoveryTree.xml", std::nullopt, waitingRequest.block());
  reresolved->setResolverFactory(direct({printer.url("/")}));
  reresolved->setNeedsReresolve();
  ASSERT_TRUE(pumpMain([&] { return waiting.calls && waitingRequest.calls > 1; }));
  EXPECT_FALSE(waiting.error);
  EXPECT_FALSE(waitingRequest.error);
  EXPECT_EQ(reresolved->printerResolvingState(), DQNEXASession::kResolved);
  // ... at once when the session needs no resolving any more.
  reresolved->setResolverFactory(silentResolver());
  reresolved->setNeedsReresolve();
  ResolveAnswer given;
  reresolved->schedulePrinterResolve(given.block());
  reresolved->setBaseURL(printer.baseURL());
  reresolved->setNeedsReresolve();
  EXPECT_EQ(given.calls, 1);
  EXPECT_EQ(reresolved->printerResolvingState(), DQNEXASession::kResolved);
}

TEST_F(NEXANetworkSessionTest, CredentialsAcceptedOnceServeTheLaterPassesOfTheRequest) {
  auto session = sessionWithBaseURL();
  registerPolled(*session, "locked status", "locked/Jobs/Status", 0.05);
  const Answer status = runRequest(*session, "locked status");
  EXPECT_FALSE(status.error);
  // Asked twice (a wrong password first), never again for the 202 passes.
  EXPECT_EQ(credentials.calls.size(), 2u);
  std::vector<std::string> authorizations;
  for (const auto& request : printer.requests()) authorizations.push_back(request.authorization);
  const std::string right = "Basic YWRtaW46c2VjcmV0";
  EXPECT_EQ(authorizations, (std::vector<std::string>{"", "Basic YWRtaW46d3Jvbmc=", right, right, right}));

  // Without a credentials block there is no challenge to wait for: one
  // request, and the 401 stands.
  auto unattended = DQNEXASession::make(std::nullopt, printer.baseURL(), false, false, nullptr);
  Answer refused;
  unattended->scheduleDataRetrievingForPath("DevMgmt/Other.xml", std::nullopt, refused.block());
  ASSERT_TRUE(refused.wait());
  EXPECT_EQ(refused.code(), DQNEXAError::kUnauthorized);
  EXPECT_EQ(sent("/DevMgmt/Other.xml"), 1);
}

TEST_F(NEXANetworkSessionTest, FailuresAreAskedAgainAndMonitorsStopAtTheirLimit) {
  auto session = sessionWithBaseURL();
  // A failure is not kept even where results are cached.
  session->registerDataRetrievingRequest("missing", "Missing", std::nullopt, 3, true);
  EXPECT_EQ(runRequest(*session, "missing").code(), DQNEXAError::kNoPath);
  EXPECT_EQ(runRequest(*session, "missing").code(), DQNEXAError::kNoPath);
  EXPECT_EQ(sent("/Missing"), 2);

  // An empty path asks for nothing, not for the base URL.
  Answer empty;
  session->scheduleRequestWithDescriptor(std::make_shared<NoPath>(), empty.block());
  ASSERT_TRUE(empty.wait());
  EXPECT_EQ(empty.code(), DQNEXAError::kNoPath);
  EXPECT_EQ(sent("/"), 0);

  // A monitor that always wants more is consulted up to the retry limit,
  // with each result.
  auto tireless = std::make_shared<Monitor>([](int) { return true; });
  Answer watched;
  session->scheduleRequestWithDescriptor(tireless, watched.block());
  ASSERT_TRUE(watched.wait());
  EXPECT_FALSE(watched.error);
  EXPECT_TRUE(watched.result);
  EXPECT_EQ(tireless->consulted, 3);
  EXPECT_EQ(tireless->resultsSeen, 3);
  EXPECT_TRUE(tireless->reachedLimit);
  EXPECT_EQ(sent("/DevMgmt/DiscoveryTree.xml"), 4);
  // One that is content after its second answer stops there.
  auto content = std::make_shared<Monitor>([](int consulted) { return consulted < 2; });
  Answer satisfied;
  session->scheduleRequestWithDescriptor(content, satisfied.block());
  ASSERT_TRUE(satisfied.wait());
  EXPECT_EQ(content->consulted, 2);
  EXPECT_FALSE(content->reachedLimit);
  EXPECT_EQ(sent("/DevMgmt/DiscoveryTree.xml"), 6);

  // An operation that is gone by the time its answer would reach the main
  // queue calls nobody.
  int calls = 0;
  auto operation = session->operationFactory().instantiateUnregisteredSingleDataAccessOperation(
      "DevMgmt/DiscoveryTree.xml", std::nullopt, nullptr, session->printerResolvingContext());
  operation->setupNEXACompletionBlock([&calls](const std::shared_ptr<DQNEXAAccessOperation>&) { ++calls; });
  operation->start();
  EXPECT_FALSE(operation->error());
  operation.reset();
  drainMain();
  EXPECT_EQ(calls, 0);
}

TEST_F(NEXANetworkSessionTest, HostileTreeNeverLoadsItsExternalEntity) {
  testsupport::TemporaryDirectory folder;
  std::ofstream(folder.file("secret.txt")) << "TOP-SECRET";
  printer.setTree("<?xml version=\"1.0\"?><!DOCTYPE t [<!ENTITY x SYSTEM \"file://" + folder.file("secret.txt") +
                  "\">]><t:Tree xmlns:t=\"urn:t\">&x;</t:Tree>");
  auto session = sessionWithBaseURL();
  const Answer tree = runRequest(*session, "tree");
  if (auto document = std::dynamic_pointer_cast<DQXMLDocument>(tree.result)) {
    EXPECT_EQ(document->XMLString()->find("TOP-SECRET"), std::string::npos);
  }
}

TEST_F(NEXANetworkSessionTest, NoLogLineAtAnyLevelHoldsThePasswordOfAPrinterURL) {
  // The printer takes the credentials written into its URL.
  const std::string password = "pw-in-the-URL-7Q";
  printer.setPassword(password);
  const auto urlWithCredentials = [&](int port) {
    return *Url::fromString("http://admin:" + password + "@127.0.0.1:" + std::to_string(port) + "/");
  };
  auto session = DQNEXASession::make(std::nullopt, urlWithCredentials(printer.port()), false, false,
                                     credentials.block());
  registerTreeAndConfig(*session);
  // A success, HTTP errors, then a port where nobody listens.
  expectConfig(runRequest(*session, "config").result);
  EXPECT_TRUE(credentials.calls.empty());
  Answer missing, boom;
  session->scheduleDataRetrievingForPath("Missing", std::nullopt, missing.block());
  session->scheduleDataRetrievingForPath("Boom", std::nullopt, boom.block());
  ASSERT_TRUE(pumpMain([&] { return missing.calls && boom.calls; }));
  EXPECT_EQ(missing.code(), DQNEXAError::kNoPath);
  EXPECT_EQ(boom.code(), DQNEXAError::kUnexpectedStatus);
  const int deadPort = testsupport::closedPort();
  auto dead = DQNEXASession::make(std::nullopt, urlWithCredentials(deadPort), false, false, credentials.block());
  Answer refused;
  dead->scheduleRequestWithDescriptor(
      std::make_shared<DQNEXASingleOperationDescriptor>("dead", "Missing", std::nullopt, false, 20, 3, 0.05),
      refused.block());
  ASSERT_TRUE(refused.wait());
  EXPECT_TRUE(refused.error);
  // A DNS-SD name that is no text is refused with an ERROR line.
  auto invalid = std::make_shared<DQNetServicePrinterURLResolver>(
      *Url::fromString("dnssd://admin:" + password + "@%FF._http._tcp.local"), backend);
  bool answered = false;
  EXPECT_FALSE(invalid->startResolving([&](const std::optional<Dictionary>& result) { answered = !result; }));
  EXPECT_TRUE(answered);

  for (const auto& [level, line] : log.lines()) {
    EXPECT_EQ(line.find(password), std::string::npos) << level << " " << line;
  }
  // The lines are still written, each URL with its password left out.
  const std::string printerURL = "http://admin:<redacted>@127.0.0.1:" + std::to_string(printer.port());
  EXPECT_TRUE(log.contains(kDQLogLevelDebug,
                           "[DQNEXADataLoadingOperation] - requesting " + printerURL + "/DevMgmt/ProductConfigDyn.xml"));
  EXPECT_TRUE(log.contains(kDQLogLevelDebug, "[DQNEXAAccessOperation] - Request with URL: " + printerURL +
                                                 "/DevMgmt/ProductConfigDyn.xml did finish with code 200."));
  EXPECT_TRUE(log.contains(kDQLogLevelDebug,
                           "[DQNEXAAccessOperation] - Request with URL: " + printerURL + "/Boom did finish with code 500."));
  const std::string deadURL = "http://admin:<redacted>@127.0.0.1:" + std::to_string(deadPort);
  EXPECT_TRUE(log.contains(kDQLogLevelDebug,
                           "[DQNEXAAccessOperation] - Request with URL: " + deadURL + "/Missing did finish with code 0."));
  EXPECT_TRUE(log.contains(kDQLogLevelError,
                           "[DQPrinterURLParser] - Invalid service name in dnssd://admin:<redacted>@%FF._http._tcp.local"));
}

TEST_F(NEXANetworkSessionTest, ACancelOrReleaseInsideACompletionStopsTheCompletionsAfterIt) {
  // Two answers of one request; the first does `inside` and notes the call.
  // The printer holds the answer until both are scheduled, so neither is
  // answered at once from a request that finished in between.
  std::vector<std::string> called;
  auto twice = [&](DQNEXASession& session, const std::string& name, std::function<void()> inside) {
    printer.holdSlow();
    session.scheduleRequestRegisteredWithName(name, [&called, name, inside](const ObjectPtr&, const ErrorPtr&) {
      called.push_back(name + " 1");
      inside();
    });
    session.scheduleRequestRegisteredWithName(name, [&called, name](const ObjectPtr&, const ErrorPtr&) {
      called.push_back(name + " 2");
    });
    printer.releaseSlow();
  };
  auto session = sessionWithBaseURL();
  session->registerDataRetrievingRequest("count", "Slow", DQNEXAResultClass::XMLDocument(), 3, false);
  twice(*session, "count", [&] { session->cancelAllRequests(false); });
  ASSERT_TRUE(pumpMain([&] { return !called.empty(); }));
  twice(*session, "count", [&] { session->cancelRequest("count"); });
  ASSERT_TRUE(pumpMain([&] { return called.size() > 1; }));
  // Cancelling another request leaves this one's answers alone.
  twice(*session, "count", [&] { session->cancelRequest("tree"); });
  ASSERT_TRUE(pumpMain([&] { return called.size() > 3; }));
  // The client lets the session go.
  twice(*session, "count", [&] { session.reset(); });
  ASSERT_TRUE(pumpMain([&] { return called.size() > 4; }));
  drainMain();
  EXPECT_EQ(called, (std::vector<std::string>{"count 1", "count 1", "count 1", "count 2", "count 1"}));

  // The same for the resolve completions.
  called.clear();
  auto resolveTwice = [&](DQNEXASession& resolving, std::function<void()> inside) {
    resolving.schedulePrinterResolve([&called, inside](const std::optional<Dictionary>&, const ErrorPtr&) {
      called.push_back("resolve 1");
      inside();
    });
    resolving.schedulePrinterResolve([&called](const std::optional<Dictionary>&, const ErrorPtr&) {
      called.push_back("resolve 2");
    });
  };
  session = resolvingSession("http://printer.invalid/", direct({printer.url("/")}));
  resolveTwice(*session, [&] { session->cancelPrinterResolve(false); });
  ASSERT_TRUE(pumpMain([&] { return !called.empty(); }));
  session = resolvingSession("http://printer.invalid/", direct({printer.url("/")}));
  resolveTwice(*session, [&] { session.reset(); });
  ASSERT_TRUE(pumpMain([&] { return called.size() > 1; }));
  drainMain();
  EXPECT_EQ(called, (std::vector<std::string>{"resolve 1", "resolve 1"}));

  // A cancelled request is not called back when a request that needs it
  // launches its name again.
  session = sessionWithBaseURL();
  Answer cancelled, dependent;
  session->scheduleRequestRegisteredWithName("tree", cancelled.block());
  session->cancelRequest("tree");
  session->scheduleRequestRegisteredWithName("config", dependent.block());
  ASSERT_TRUE(dependent.wait());
  expectConfig(dependent.result);
  drainMain();
  EXPECT_EQ(cancelled.calls, 0);
}

TEST_F(NEXANetworkSessionTest, TheClientMayLetTheSessionGoInsideACallbackAnsweredAtOnceOrAPrompt) {
  // Every callback here lets go of the session's only reference, so the
  // session must outlive its own call. The completions answered later on the
  // main queue are let go of in ACancelOrReleaseInsideACompletionStopsTheCompletionsAfterIt.
  std::shared_ptr<DQNEXASession> session;
  int calls = 0;
  const DQNEXASession::ResolveCompletion resolveLettingGo = [&](const std::optional<Dictionary>&, const ErrorPtr&) {
    ++calls;
    session.reset();
  };
  const DQNEXASession::RequestCompletion requestLettingGo = [&](const ObjectPtr&, const ErrorPtr&) {
    ++calls;
    session.reset();
  };
  const DQNEXASession::ResolveCompletion neverResolved = [](const std::optional<Dictionary>&, const ErrorPtr&) {
    ADD_FAILURE() << "a resolve completion after the session was let go";
  };

  // Resolving that ends at once: a base URL, no address at all.
  session = sessionWithBaseURL();
  session->schedulePrinterResolve(resolveLettingGo);
  EXPECT_FALSE(session);
  session = DQNEXASession::make(std::nullopt, std::nullopt, nullptr);
  session->schedulePrinterResolve(resolveLettingGo);
  EXPECT_EQ(calls, 2);

  // Callers waiting for a resolving that a restart answers at once: the
  // first lets go, the one after it is not called.
  session = resolvingSession("http://printer.invalid/", silentResolver());
  session->schedulePrinterResolve(resolveLettingGo);
  session->schedulePrinterResolve(neverResolved);
  session->setBaseURL(printer.baseURL());
  session->setNeedsReresolve();
  EXPECT_FALSE(session);
  EXPECT_EQ(calls, 3);

  // A request answered at once from the cache.
  session = sessionWithBaseURL();
  ASSERT_FALSE(runRequest(*session, "tree").error);
  EXPECT_EQ(session->scheduleRequestRegisteredWithName("tree", requestLettingGo), "tree");
  EXPECT_FALSE(session);
  EXPECT_EQ(calls, 4);

  // The credentials prompt: the request waiting for the answer ends with
  // the session and never calls back.
  int prompts = 0;
  session = DQNEXASession::make(std::nullopt, printer.baseURL(), false, false,
                                [&](const std::shared_ptr<DQURLAuthenticationChallenge>&, std::uint64_t) {
                                  ++prompts;
                                  session.reset();
                                });
  Answer locked;
  session->scheduleDataRetrievingForPath("DevMgmt/Other.xml", std::nullopt, locked.block());
  ASSERT_TRUE(pumpMain([&] { return !session; }));
  drainMain();
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(locked.calls, 0);
}

TEST_F(NEXANetworkSessionTest, TheClientMayLetTheSessionGoFromACompletionAnsweredInsideThePrompt) {
  // Inside the credentials prompt the client restarts a resolving that ends
  // at once: the first caller waiting for it lets the session go, the one
  // after it is not called.
  std::shared_ptr<DQNEXASession> session;
  int calls = 0;
  int prompts = 0;
  session = DQNEXASession::make(Url::fromString("http://printer.invalid/"), std::nullopt, false, false,
                                [&](const std::shared_ptr<DQURLAuthenticationChallenge>&, std::uint64_t) {
                                  ++prompts;
                                  session->setResolverFactory(silentResolver());
                                  session->setNeedsReresolve();
                                  session->schedulePrinterResolve([&](const std::optional<Dictionary>&, const ErrorPtr&) {
                                    ++calls;
                                    session.reset();
                                  });
                                  session->schedulePrinterResolve([](const std::optional<Dictionary>&, const ErrorPtr&) {
                                    ADD_FAILURE() << "a resolve completion after the session was let go";
                                  });
                                  session->setBaseURL(printer.baseURL());
                                  session->setNeedsReresolve();
                                });
  session->setResolverFactory(direct({printer.url("/")}));
  Answer locked;
  session->scheduleDataRetrievingForPath("DevMgmt/Other.xml", std::nullopt, locked.block());
  ASSERT_TRUE(pumpMain([&] { return !session; }));
  drainMain();
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(locked.calls, 0);
}

TEST_F(NEXANetworkSessionTest, AResolveAnsweredAtOnceKeepsItsArgumentsWhateverItsCompletionDoes) {
  // A resolved session and one without an address answer at once; the
  // completion lets the session go, or resolves again with a base URL (which
  // changes the session's outcome), then reads what it was given.
  std::shared_ptr<DQNEXASession> session;
  const std::function<void()> insides[] = {[&] { session.reset(); },
                                           [&] {
                                             session->setBaseURL(printer.baseURL());
                                             session->setNeedsReresolve();
                                             session->schedulePrinterResolve(nullptr);
                                           }};
  for (const auto& inside : insides) {
    for (const bool addressed : {true, false}) {
      session = addressed ? resolvingSession("http://printer.invalid/", direct({printer.url("/")}))
                          : DQNEXASession::make(std::nullopt, std::nullopt, nullptr);
      ResolveAnswer first, kept;
      session->schedulePrinterResolve(first.block());
      ASSERT_TRUE(first.wait());
      EXPECT_EQ(first.texts("AccessURLs").empty(), !addressed);
      session->schedulePrinterResolve([&](const std::optional<Dictionary>& info, const ErrorPtr& error) {
        inside();
        kept.block()(info, error);
      });
      EXPECT_EQ(kept.calls, 1);
      EXPECT_EQ(kept.texts("AccessURLs"), first.texts("AccessURLs"));
      EXPECT_EQ(kept.code(), addressed ? 0 : std::int64_t{DQNEXAError::kCannotRequest});
    }
  }
}

TEST_F(NEXANetworkSessionTest, ARequestWaitingForAResolvingIsAnsweredFromItsEndWhateverItsCompletionsRestart) {
  // A request waits for a resolving that a restart answers at once (a base
  // URL came meanwhile); the resolve completion it answers restarts the
  // resolving again, in each of these ways. The request keeps the outcome
  // of the resolving it waited for; later callers get the one started inside.
  struct Restart {
    std::function<void(DQNEXASession&)> inside;
    std::int64_t stateAfter;
  };
  const std::vector<Restart> restarts{
      {[](DQNEXASession& s) { s.setNeedsReresolve(); }, DQNEXASession::kNotResolved},
      {[](DQNEXASession& s) {
         s.schedulePrinterResolve(nullptr);
         s.setNeedsReresolve();
       },
       DQNEXASession::kNotResolved},
      // A resolving of the printer address, which never answers.
      {[](DQNEXASession& s) {
         s.setBaseURL(std::nullopt);
         s.setNeedsReresolve();
         s.schedulePrinterResolve(nullptr);
       },
       DQNEXASession::kResolving},
      // ... and a restart of that one.
      {[](DQNEXASession& s) {
         s.setBaseURL(std::nullopt);
         s.setNeedsReresolve();
         s.schedulePrinterResolve(nullptr);
         s.setNeedsReresolve();
       },
       DQNEXASession::kNotResolved},
  };
  for (std::size_t shape = 0; shape < restarts.size(); ++shape) {
    auto session = resolvingSession("http://printer.invalid/", silentResolver());
    Answer waiting;
    session->scheduleRequestRegisteredWithName("config", waiting.block());
    int restarted = 0;
    session->schedulePrinterResolve([&](const std::optional<Dictionary>&, const ErrorPtr&) {
      ++restarted;
      restarts[shape].inside(*session);
    });
    session->setBaseURL(printer.baseURL());
    session->setNeedsReresolve();
    EXPECT_EQ(restarted, 1);
    ASSERT_TRUE(waiting.wait()) << shape;
    EXPECT_FALSE(waiting.error) << shape << ": " << waiting.error->description();
    expectConfig(waiting.result);
    EXPECT_EQ(session->printerResolvingState(), restarts[shape].stateAfter) << shape;
  }
}

TEST_F(NEXANetworkSessionTest, NothingOfTheClientRunsOnceItLetsTheSessionGoInAPromptWhileACompletionSpins) {
  // A completion schedules a request behind credentials and spins the main
  // run loop until that request has ended its authentication (a thread that
  // begins one of its own tells). Meanwhile the prompt lets the session go
  // and answers after that (`late`), or answers wrongly, then lets go: no
  // prompt follows, and nothing answered after the release reaches the
  // printer.
  const std::string wrong = "Basic YWRtaW46d3Jvbmc=";
  for (const bool late : {true, false}) {
    std::shared_ptr<DQNEXASession> session;
    int prompts = 0;
    std::size_t sentAtRelease = 0;
    std::atomic<bool> authenticationEnded{false};
    std::thread watcher;
    session = DQNEXASession::make(
        std::nullopt, printer.baseURL(), false, false,
        [&](const std::shared_ptr<DQURLAuthenticationChallenge>& challenge, std::uint64_t) {
          if (++prompts > 1) return challenge->completeChallengeWithUserName("admin", "secret");
          watcher = std::thread([manager = session->authManager(), &authenticationEnded] {
            manager->beginAuthenticationUntil([] { return false; });
            manager->endAuthentication(false);
            authenticationEnded = true;
          });
          if (!late) challenge->completeChallengeWithUserName("admin", "wrong");
          sentAtRelease = printer.requests().size();
          session.reset();
          if (late) challenge->completeChallengeWithUserName("admin", "secret");
        });
    registerTreeAndConfig(*session);
    Answer locked;
    session->scheduleRequestRegisteredWithName("tree", [&](const ObjectPtr&, const ErrorPtr&) {
      session->scheduleDataRetrievingForPath("DevMgmt/Other.xml", std::nullopt, locked.block());
      EXPECT_TRUE(pumpMain([&] { return authenticationEnded.load(); }));
    });
    const bool ended = pumpMain([&] { return !session && authenticationEnded; });
    drainMain();
    if (watcher.joinable()) watcher.join();
    ASSERT_TRUE(ended) << late;
    EXPECT_EQ(prompts, 1) << late;
    EXPECT_EQ(locked.calls, 0);
    const auto requests = printer.requests();
    ASSERT_GE(requests.size(), sentAtRelease);
    if (late) {
      EXPECT_EQ(requests.size(), sentAtRelease);
    }
    for (std::size_t i = sentAtRelease; i < requests.size(); ++i) EXPECT_EQ(requests[i].authorization, wrong);
  }
}

namespace {

// The blocks of a client whose last reference to the session goes on a
// thread of its own. Each block notes whether it started once that release
// had returned (`released`), and each carries a capture that notes where it
// ends: the session's tables, and the session itself, end on the main thread.
struct ReleasingClient {
  struct Capture {
    explicit Capture(ReleasingClient& owner) : client(owner) { ++client.alive; }
    ~Capture() {
      if (!DispatchQueue::isMainThread()) ++client.endedOffMain;
      --client.alive;
    }
    ReleasingClient& client;
  };
  void enter() {
    ++started;
    if (released) ++late;
  }
  DQNEXASession::RequestCompletion completion(std::function<void()> inside = nullptr) {
    return [this, inside, capture = std::make_shared<Capture>(*this)](const ObjectPtr&, const ErrorPtr&) {
      enter();
      if (inside) inside();
    };
  }
  DQNEXASession::ResolveCompletion resolved(std::function<void()> inside = nullptr) {
    return [this, inside, capture = std::make_shared<Capture>(*this)](const std::optional<Dictionary>&,
                                                                       const ErrorPtr&) {
      enter();
      if (inside) inside();
    };
  }
  DQNEXASession::CredentialsBlock prompt() {
    return [this, capture = std::make_shared<Capture>(*this)](
               const std::shared_ptr<DQURLAuthenticationChallenge>& challenge, std::uint64_t) {
      enter();
      challenge->completeChallengeWithUserName("admin", "secret");
    };
  }

  std::atomic<bool> released{false};
  std::atomic<int> started{0};
  std::atomic<int> late{0};
  std::atomic<int> alive{0};  // captures not yet ended; none once the session is gone
  std::atomic<int> endedOffMain{0};
};

// Waits for `done` without running the main run loop.
bool waitOffLoop(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + testsupport::kPatience;
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

}  // namespace

TEST_F(NEXANetworkSessionTest, TheLastReferenceMayGoOnAnotherThreadWhileTheMainThreadAnswers) {
  // A completion on the main thread hands the last reference to a thread
  // that drops it, and waits for that. Meanwhile a request behind
  // credentials has reached the printer, which asks for them, so its prompt
  // is on its way to the main queue. Once the release has returned, neither
  // that prompt nor the second completion of the request starts; the
  // completion that runs ends.
  {
    ReleasingClient client;
    auto session = DQNEXASession::make(std::nullopt, printer.baseURL(), false, false, client.prompt());
    session->registerDataRetrievingRequest("count", "Slow", DQNEXAResultClass::XMLDocument(), 3, false);
    printer.holdSlow();
    bool ranToItsEnd = false;
    session->scheduleRequestRegisteredWithName("count", client.completion([&] {
      EXPECT_TRUE(waitOffLoop([&] { return sent("/DevMgmt/Other.xml") > 0; }));
      std::thread([last = std::move(session)]() mutable { last.reset(); }).join();
      client.released = true;
      ranToItsEnd = true;
    }));
    session->scheduleRequestRegisteredWithName("count", client.completion());
    session->scheduleDataRetrievingForPath("DevMgmt/Other.xml", std::nullopt, client.completion());
    printer.releaseSlow();
    ASSERT_TRUE(pumpMain([&] { return client.alive == 0; }));
    drainMain();
    EXPECT_TRUE(ranToItsEnd);
    EXPECT_EQ(client.started, 1);
    EXPECT_EQ(client.late, 0);
    EXPECT_EQ(client.endedOffMain, 0);
  }

  // Eight requests, one behind credentials, and resolve completions that
  // resolve again; the last reference goes on another thread at a
  // different moment of each round, while the main thread answers.
  for (int round = 0; round < 32; ++round) {
    ReleasingClient client;
    auto session = DQNEXASession::make(Url::fromString("http://printer.invalid/"), std::nullopt, false, false,
                                       client.prompt());
    session->setResolverFactory(direct({printer.url("/")}));
    registerTreeAndConfig(*session);
    session->registerDataRetrievingRequest("count", "Count", DQNEXAResultClass::XMLDocument(), 3, false);
    const std::weak_ptr<DQNEXASession> weak = session;
    // Blocks reach the session through `weak`, as a client that keeps no
    // reference of its own on the main thread.
    const auto again = [&client, weak](const std::string& name) {
      return [&client, weak, name] {
        if (const auto held = weak.lock()) held->scheduleRequestRegisteredWithName(name, client.completion());
      };
    };
    session->schedulePrinterResolve(client.resolved([&client, weak] {
      if (const auto held = weak.lock()) {
        held->setNeedsReresolve();
        held->schedulePrinterResolve(client.resolved());
      }
    }));
    session->scheduleRequestRegisteredWithName("tree", client.completion(again("count")));
    session->scheduleRequestRegisteredWithName("config", client.completion(again("tree")));
    session->scheduleRequestRegisteredWithName("count", client.completion(again("config")));
    session->scheduleDataRetrievingForPath("DevMgmt/Other.xml", std::nullopt, client.completion());
    session->scheduleDataRetrievingForPath("Count", std::nullopt, client.completion(again("count")));
    session->scheduleDataUploading(testsupport::bytes("<s/>"), "DevMgmt/Settings.xml", client.completion());
    session->scheduleDataRetrievingForPath("Missing", std::nullopt, client.completion());
    session->scheduleRequestRegisteredWithName("unknown", client.completion());
    const auto delay = std::chrono::microseconds(250 * (round % 16));
    std::atomic<bool> marked{false};
    std::thread releaser([&client, &marked, weak, delay, last = std::move(session)]() mutable {
      std::this_thread::sleep_for(delay);
      last.reset();
      // A block whose mark check ran on the main thread just before the
      // release may start just after it; every block that starts after this
      // one has run was checked after the release. A reference the main
      // thread held meanwhile, which may have been the last, is gone by then.
      DispatchQueue::main()->async([&client, &marked, weak] {
        if (weak.expired()) client.released = true;
        marked = true;
      });
    });
    const bool ended = pumpMain([&] { return client.alive == 0 && marked; });
    releaser.join();
    ASSERT_TRUE(ended) << round;
    drainMain();
    EXPECT_EQ(client.late, 0) << round;
    EXPECT_EQ(client.endedOffMain, 0) << round;
  }
}
