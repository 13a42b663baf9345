#include <gtest/gtest.h>

#include <glib.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Credentials/CredentialStorage.h"
#include "DQAuthenticateHeader.h"
#include "DQHTTPAuthenticationRequest.h"
#include "DQNetworkHTTPStreamProvider.h"
#include "DQURLAuthenticationManager.h"
#include "DQURLConnection.h"
#include "Http/HttpMessage.h"
#include "TestSupport.h"

using namespace platform;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

Url url(const std::string& text) { return *Url::fromString(text); }

std::shared_ptr<HttpMessage> unauthorized(const std::string& challenge) {
  auto response = HttpMessage::makeResponse(401, "Unauthorized");
  response->addHeaderField("WWW-Authenticate", challenge);
  return response;
}

std::string md5(const std::string& text) {
  gchar* digest = g_compute_checksum_for_string(G_CHECKSUM_MD5, text.data(), static_cast<gssize>(text.size()));
  std::string hex(digest);
  g_free(digest);
  return hex;
}

const ProtectionSpace kPrinterSpace("printer", 80, "http", "Printer", ProtectionSpace::kAuthenticationMethodHTTPBasic);

// The RFC 7616 section 3.9.1 challenge, for one algorithm.
std::string rfc7616Challenge(const std::string& algorithm) {
  return "Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=" + algorithm +
         ", nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
         "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"";
}

}  // namespace

TEST(DQAuthenticateHeaderTest, ReadsChallengesAndStopsAtWhatItCannotRead) {
  const auto challenges = DQAuthenticateHeader::parse(
      "Newauth realm=\"apps\", type=1, title=\"Login to \\\"apps\\\"\", Basic realm=\"simple\", Negotiate abc+/==, Bearer");
  ASSERT_EQ(challenges.size(), 4u);
  EXPECT_EQ(challenges[0].parameter("TITLE"), "Login to \"apps\"");
  EXPECT_EQ(challenges[0].parameter("type"), "1");
  EXPECT_TRUE(challenges[1].hasScheme("basic"));
  EXPECT_EQ(challenges[1].parameter("realm"), "simple");
  EXPECT_EQ(challenges[2].token68, "abc+/==");
  EXPECT_EQ(challenges[3].scheme, "Bearer");

  EXPECT_TRUE(DQAuthenticateHeader::parse("  ,, ").empty());
  EXPECT_TRUE(DQAuthenticateHeader::parse("\"quoted\"").empty());
  EXPECT_FALSE(DQAuthenticateHeader::parse("Basic realm=\"never closed")[0].parameter("realm"));
  const auto junk = DQAuthenticateHeader::parse("Basic realm=a b=c, Digest nonce=x");
  ASSERT_EQ(junk.size(), 1u);
  EXPECT_EQ(junk[0].parameter("realm"), "a");
}

TEST(DQHTTPAuthenticationRequestTest, DigestMatchesThePublishedExamples) {
  const auto target = url("http://www.example.org/dir/index.html");
  auto request = HttpMessage::makeRequest("GET", target);
  const auto fixedNonce = [] { return std::string("f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ"); };
  const std::string common =
      "Digest username=\"Mufasa\", realm=\"http-auth@example.org\", "
      "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", uri=\"/dir/index.html\", ";
  const std::string tail =
      ", qop=auth, nc=00000001, cnonce=\"f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ\", "
      "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"";

  // RFC 7616 offers both; the stronger is taken.
  auto both = DQHTTPAuthenticationRequest::authenticationRequestWithResponse(
      *unauthorized(rfc7616Challenge("MD5") + ", " + rfc7616Challenge("SHA-256")), target, fixedNonce);
  ASSERT_TRUE(both);
  EXPECT_EQ(both->algorithm(), DQHTTPAuthenticationRequest::Algorithm::SHA256);
  EXPECT_EQ(both->protectionSpace().authenticationMethod(), ProtectionSpace::kAuthenticationMethodHTTPDigest);
  ASSERT_TRUE(both->applyCredentialsForRequest(*request, std::string("Mufasa"), std::string("Circle of Life")));
  EXPECT_EQ(request->headerField("Authorization"),
            common + "algorithm=SHA-256, response=\"753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1\"" +
                tail);

  auto md5Only = DQHTTPAuthenticationRequest::authenticationRequestWithResponse(*unauthorized(rfc7616Challenge("MD5")),
                                                                                target, fixedNonce);
  ASSERT_TRUE(md5Only->applyCredentialsForRequest(*request, std::string("Mufasa"), std::string("Circle of Life")));
  EXPECT_EQ(request->headerField("Authorization"),
            common + "algorithm=MD5, response=\"8ca523f5e9506fed4657c9700eebdbec\"" + tail);
}

TEST(DQHTTPAuthenticationRequestTest, OnlyChallengesWeCanAnswerMakeARequest) {
  const auto target = url("https://printer/x");
  auto make = [&](const std::string& challenge) {
    return DQHTTPAuthenticationRequest::authenticationRequestWithResponse(*unauthorized(challenge), target);
  };
  for (const char* refused : {"Negotiate abc==", "Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\"",
                              "Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512-256", "Digest realm=\"r\""}) {
    EXPECT_FALSE(make(refused)) << refused;
  }
  // A Digest we cannot answer does not hide a Basic we can.
  auto basic = make("Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\", Basic realm=\"r\"");
  ASSERT_TRUE(basic);
  EXPECT_TRUE(basic->protectionSpace().isEqual(
      ProtectionSpace("printer", 443, "https", "r", ProtectionSpace::kAuthenticationMethodHTTPBasic)));
  // Without qop the answer has the old form.
  auto legacy = make("Digest realm=\"r\", nonce=\"n\"");
  auto request = HttpMessage::makeRequest("GET", target);
  ASSERT_TRUE(legacy->applyCredentialsForRequest(*request, std::string("u"), std::string("p")));
  EXPECT_NE(request->headerField("Authorization")->find(md5(md5("u:r:p") + ":n:" + md5("GET:/x"))), std::string::npos);
  // A user name is quoted safely, and one that would break the field is refused.
  ASSERT_TRUE(legacy->applyCredentialsForRequest(*request, std::string("a\"b\\"), std::string("p")));
  EXPECT_EQ(request->headerField("Authorization")->rfind("Digest username=\"a\\\"b\\\\\", ", 0), 0u);
  EXPECT_FALSE(legacy->applyCredentialsForRequest(*request, std::string("a\r\nX-Injected: 1"), std::string("p")));
  EXPECT_FALSE(request->headerField("X-Injected"));
}

TEST(DQURLAuthenticationManagerTest, OneAuthenticationAtATimeAndWaitersCanBeCancelled) {
  DQURLAuthenticationManager manager(nullptr, std::make_shared<CredentialStorage>());
  ASSERT_TRUE(manager.beginAuthenticationUntil(nullptr));

  std::atomic<bool> cancelled{false};
  auto cancelledWaiter = std::async(std::launch::async, [&] {
    return manager.beginAuthenticationUntil([&] { return cancelled.load(); });
  });
  auto patientWaiter = std::async(std::launch::async, [&] { return manager.beginAuthenticationUntil(nullptr); });
  cancelled.store(true);
  ASSERT_EQ(cancelledWaiter.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(cancelledWaiter.get());
  EXPECT_EQ(patientWaiter.wait_for(30ms), std::future_status::timeout);
  manager.endAuthentication(false);
  ASSERT_EQ(patientWaiter.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(patientWaiter.get());
  manager.endAuthentication(false);
}

TEST(DQURLAuthenticationManagerTest, SystemCredentialsAnswerOnlyTheFirstChallenge) {
  auto storage = std::make_shared<CredentialStorage>();
  storage->setCredential({"nopass", std::nullopt}, kPrinterSpace);
  storage->setCredential({"admin", "pw"}, kPrinterSpace);
  std::vector<std::uint64_t> asked;
  DQURLAuthenticationManager manager(
      [&](std::shared_ptr<DQURLAuthenticationChallenge>, std::uint64_t retry) { asked.push_back(retry); }, storage);

  for (int authentication = 0; authentication < 2; ++authentication) {
    SCOPED_TRACE(authentication);
    ASSERT_TRUE(manager.beginAuthenticationUntil(nullptr));
    auto first = manager.challengeForProtectionSpace(kPrinterSpace, "Discovery");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->password(), "pw");
    EXPECT_TRUE(asked.empty());
    // Asked again: the stored credentials failed; the user is asked, the
    // last user name proposed.
    auto second = manager.challengeForProtectionSpace(kPrinterSpace, "Discovery");
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->isCompleted());
    EXPECT_EQ(second->userName(), "admin");
    EXPECT_EQ(asked, (std::vector<std::uint64_t>{1}));
    second->cancellChallenge();
    EXPECT_FALSE(second->waitForCompletionUntil(nullptr));
    manager.endAuthentication(false);
    asked.clear();
  }
}

TEST(DQURLAuthenticationManagerTest, OnlySuccessfulAnswersWithAPasswordAreKept) {
  std::vector<std::shared_ptr<DQURLAuthenticationChallenge>> asked;
  DQURLAuthenticationManager manager(
      [&](std::shared_ptr<DQURLAuthenticationChallenge> challenge, std::uint64_t) { asked.push_back(challenge); },
      std::make_shared<CredentialStorage>());
  auto authenticate = [&](std::optional<std::string> password, bool success) {
    manager.beginAuthenticationUntil(nullptr);
    auto challenge = manager.challengeForProtectionSpace(kPrinterSpace, "Op");
    if (!challenge->isCompleted()) challenge->completeChallengeWithUserName(std::string("u"), password);
    manager.endAuthentication(success);
    return challenge;
  };
  authenticate(std::string("wrong"), false);  // failed: nothing kept
  authenticate(std::nullopt, true);           // no password: nothing kept
  auto kept = authenticate(std::string("right"), true);
  EXPECT_EQ(authenticate(std::nullopt, true), kept);
  EXPECT_EQ(asked.size(), 3u);

  DQURLAuthenticationManager withoutBlock(nullptr, std::make_shared<CredentialStorage>());
  withoutBlock.beginAuthenticationUntil(nullptr);
  EXPECT_FALSE(withoutBlock.challengeForProtectionSpace(kPrinterSpace, "Op"));
  withoutBlock.endAuthentication(false);
}

TEST(DQURLAuthenticationChallengeTest, WaitEndsByAnswerFromAnotherThreadOrByCancellation) {
  DQURLAuthenticationChallenge challenge(kPrinterSpace, "Op", std::string("proposed"));
  std::atomic<bool> cancelled{false};
  auto waiter = std::async(std::launch::async, [&] { return challenge.waitForCompletionUntil([&] { return cancelled.load(); }); });
  cancelled.store(true);
  ASSERT_EQ(waiter.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(waiter.get());

  auto answered = std::async(std::launch::async, [&] { return challenge.waitForCompletionUntil(nullptr); });
  challenge.completeChallengeWithUserName(std::nullopt, std::string("pw"));
  ASSERT_EQ(answered.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(answered.get());
  EXPECT_EQ(challenge.userName(), "proposed");
  EXPECT_EQ(challenge.password(), "pw");
}

namespace {

// A printer on loopback that asks for credentials: it accepts what
// `accepts` approves and answers 401 with `challenge` otherwise.
class ProtectedPrinter {
 public:
  ProtectedPrinter(std::string challenge, std::function<bool(const std::string&)> accepts)
      : challenge_(std::move(challenge)), accepts_(std::move(accepts)) {
    server_.routes().Get("/DevMgmt/Doc.xml", [this](const httplib::Request& request, httplib::Response& response) {
      const std::string authorization = request.get_header_value("Authorization");
      {
        std::lock_guard lock(mutex_);
        authorizations_.push_back(authorization);
      }
      if (accepts_(authorization)) {
        response.set_content("<doc/>", "text/xml");
      } else {
        response.status = 401;
        response.set_header("WWW-Authenticate", challenge_);
      }
    });
    server_.start();
  }
  Url url() const { return *Url::fromString(server_.url("/DevMgmt/Doc.xml")); }
  std::vector<std::string> authorizations() {
    std::lock_guard lock(mutex_);
    return authorizations_;
  }

 private:
  std::string challenge_;
  std::function<bool(const std::string&)> accepts_;
  HttpServer server_;
  std::mutex mutex_;  // guards authorizations_; the server's thread and the test's
  std::vector<std::string> authorizations_;
};

// Sends a GET again with credentials while the printer asks for them, as the
// library's access operations do (at most `passes` times); answers the last
// status.
std::optional<int> authenticatedGet(const Url& target, DQURLAuthenticationManager& manager, int passes = 10) {
  std::shared_ptr<IDQURLAuthenticationRequest> authenticationRequest;
  std::optional<std::string> user, password;
  std::optional<int> status;
  bool started = false;
  for (int pass = 0; pass < passes; ++pass) {
    auto consumer = DQURLConnectionConsumer::make();
    auto connection = DQURLConnection::connectionWithGETRequest(
        target, DQNetworkHTTPStreamProvider::initUsingProxy(false, true), consumer);
    if (authenticationRequest) connection->applyAuthenticationForRequest(*authenticationRequest, user, password);
    if (!load(*connection)) break;
    status = consumer->responseStatusCode();
    authenticationRequest = consumer->authenticationRequest();
    if (!authenticationRequest) break;
    if (!started && !(started = manager.beginAuthenticationUntil(nullptr))) break;
    auto challenge = manager.challengeForProtectionSpace(authenticationRequest->protectionSpace(), "Doc");
    if (!challenge || !challenge->waitForCompletionUntil(nullptr)) break;
    user = challenge->userName();
    password = challenge->password();
  }
  if (started) manager.endAuthentication(status == 200);
  return status;
}

}  // namespace

TEST(DQURLAuthenticationLoopbackTest, BasicChallengeAnsweredThroughTheManager) {
  ProtectedPrinter printer("Basic realm=\"Printer\"",
                           [](const std::string& authorization) { return authorization == "Basic YWRtaW46c2VjcmV0"; });
  std::vector<ProtectionSpace> spaces;
  DQURLAuthenticationManager manager(
      [&](std::shared_ptr<DQURLAuthenticationChallenge> challenge, std::uint64_t) {
        spaces.push_back(challenge->protectionSpace());
        challenge->completeChallengeWithUserName(std::string("admin"), std::string("secret"));
      },
      std::make_shared<CredentialStorage>());
  EXPECT_EQ(authenticatedGet(printer.url(), manager), 200);
  EXPECT_EQ(printer.authorizations(), (std::vector<std::string>{"", "Basic YWRtaW46c2VjcmV0"}));
  ASSERT_EQ(spaces.size(), 1u);
  EXPECT_TRUE(spaces[0].isEqual(ProtectionSpace("127.0.0.1", printer.url().port(), "http", "Printer",
                                                ProtectionSpace::kAuthenticationMethodHTTPBasic)));
}

TEST(DQURLAuthenticationLoopbackTest, StaleKeptCredentialsEndAfterOnePrompt) {
  std::atomic<bool> passwordChanged{false};
  ProtectedPrinter printer("Basic realm=\"Printer\"", [&](const std::string& authorization) {
    return !passwordChanged.load() && authorization == "Basic YWRtaW46b2xk";  // admin:old
  });
  std::vector<std::uint64_t> prompts;
  bool answer = true;
  DQURLAuthenticationManager manager(
      [&](std::shared_ptr<DQURLAuthenticationChallenge> challenge, std::uint64_t retry) {
        prompts.push_back(retry);
        if (answer) {
          challenge->completeChallengeWithUserName(std::string("admin"), std::string("old"));
        } else {
          challenge->cancellChallenge();  // the user gives up
        }
      },
      std::make_shared<CredentialStorage>());
  ASSERT_EQ(authenticatedGet(printer.url(), manager), 200);  // "old" works and is kept
  ASSERT_EQ(prompts.size(), 1u);

  passwordChanged.store(true);
  answer = false;
  prompts.clear();
  const std::size_t before = printer.authorizations().size();
  // Kept credentials are tried once, fail, and the user is asked once.
  EXPECT_EQ(authenticatedGet(printer.url(), manager), 401);
  EXPECT_EQ(prompts, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(printer.authorizations().size() - before, 2u);

  // They were dropped: the next authentication asks at once.
  prompts.clear();
  EXPECT_EQ(authenticatedGet(printer.url(), manager), 401);
  EXPECT_EQ(prompts, (std::vector<std::uint64_t>{1}));
}
