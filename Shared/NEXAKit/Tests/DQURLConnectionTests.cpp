#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "DQHTTPStreamBase.h"
#include "DQHTTPStreamError.h"
#include "DQNetworkHTTPStreamProvider.h"
#include "DQRunLoopOperation.h"
#include "DQURLConnection.h"
#include "DQURLDataAccumulationConsumer.h"
#include "Dispatch/OperationQueue.h"
#include "RunLoop/RunLoop.h"
#include "TestSupport.h"

using namespace platform;
using namespace testsupport;

namespace {

Url url(const std::string& text) { return *Url::fromString(text); }

// Loopback peers are never reached through a proxy of the environment.
std::shared_ptr<DQNetworkHTTPStreamProvider> directProvider(bool validateCertificates = true) {
  return DQNetworkHTTPStreamProvider::initUsingProxy(false, validateCertificates);
}

// What a server saw of one request.
struct Seen {
  std::string method, body, contentType, contentLength, host, expect;
};

// A delegate that writes down every call, in order; bodies of more than a
// few bytes are only counted.
class RecordingDelegate : public DQHTTPStreamDelegate {
 public:
  std::vector<std::string> calls;
  std::uint64_t bodyLength = 0;
  ErrorPtr failure;
  std::function<void(IDQHTTPStream&)> onResponse;
  void streamDidReceiveResponse(IDQHTTPStream& stream) override {
    calls.push_back("response " + std::to_string(stream.statusCode().value_or(0)));
    if (onResponse) onResponse(stream);
  }
  void stream(IDQHTTPStream&, const Data& data) override {
    bodyLength += data.size();
    if (bodyLength <= 64) calls.push_back("data " + text(data));
  }
  void streamDidEnd(IDQHTTPStream&) override { calls.push_back("end"); }
  void stream(IDQHTTPStream&, const ErrorPtr& error) override {
    calls.push_back("failure " + std::to_string(error->code()));
    failure = error;
  }
};

}  // namespace

class DQURLConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.routes().Get("/doc", [this](const httplib::Request& request, httplib::Response& response) {
      record(request);
      response.set_header("X-Printer", "ready");
      response.set_content("<doc/>", "text/xml");
    });
    auto store = [this](const httplib::Request& request, httplib::Response& response) {
      record(request);
      response.status = request.method == "POST" ? 201 : 200;
      response.set_content("stored", "text/plain");
    };
    server.routes().Put("/doc", store);
    server.routes().Post("/doc", store);
    server.routes().Get("/moved", [](const httplib::Request&, httplib::Response& response) {
      response.set_redirect("/doc");
    });
    server.start();
  }

  void record(const httplib::Request& request) {
    std::lock_guard lock(mutex);
    seen.push_back({request.method, request.body, request.get_header_value("Content-Type"),
                    request.get_header_value("Content-Length"), request.get_header_value("Host"),
                    request.get_header_value("Expect")});
  }
  std::vector<Seen> requests() {
    std::lock_guard lock(mutex);
    return seen;
  }

  HttpServer server;
  std::mutex mutex;  // guards seen; the server's thread and the test's
  std::vector<Seen> seen;
};

TEST_F(DQURLConnectionTest, GetAndHeadCollectStatusHeaderAndBody) {
  auto consumer = DQURLDataAccumulationConsumer::make();
  auto get = DQURLConnection::connectionWithGETRequest(url(server.url("/doc")), directProvider(), consumer);
  ASSERT_TRUE(get);
  ASSERT_TRUE(load(*get));
  EXPECT_FALSE(consumer->loadingError());
  EXPECT_EQ(consumer->responseHeader()->objectForKey("X-Printer"), Value("ready"));
  EXPECT_EQ(text(consumer->responseData()), "<doc/>");

  auto headConsumer = DQURLDataAccumulationConsumer::make();
  ASSERT_TRUE(load(*DQURLConnection::connectionWithHEADRequest(url(server.url("/doc")), directProvider(), headConsumer)));
  EXPECT_TRUE(headConsumer->responseData().empty());

  auto moved = DQURLDataAccumulationConsumer::make();
  ASSERT_TRUE(load(*DQURLConnection::connectionWithGETRequest(url(server.url("/moved")), directProvider(), moved)));
  EXPECT_EQ(moved->responseStatusCode(), 302);

  EXPECT_EQ(requests().size(), 2u);  // the redirect was not followed
}

TEST_F(DQURLConnectionTest, PutAndPostSendTheirBodyWithoutExpectContinue) {
  // Large enough that a client would otherwise ask "Expect: 100-continue".
  const std::string document = "<doc>" + std::string(1536 * 1024, 'x') + "</doc>";
  auto plain = DQURLConnectionConsumer::make();
  auto put = DQURLConnection::connectionWithPUTRequest(url(server.url("/doc")), directProvider(), plain,
                                                       bytes(document), "text/xml;charset=UTF-8");
  ASSERT_TRUE(load(*put));

  auto accumulating = DQURLDataAccumulationConsumer::make();
  ASSERT_TRUE(load(*DQURLConnection::connectionWithPOSTRequest(url(server.url("/doc")), directProvider(), accumulating,
                                                               bytes("<a/>"), "text/xml")));
  EXPECT_EQ(accumulating->responseStatusCode(), 201);

  const auto all = requests();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].body, document);
  EXPECT_EQ(all[0].contentType, "text/xml;charset=UTF-8");
  EXPECT_EQ(all[0].expect, "");
}

TEST(DQURLConnectionFailureTest, PeerThatNeverAnswersEndsByTheConnectionTimer) {
  RawServer silent([](int socket, const std::string&) {
    char byte;
    // Read until the client gives up and closes.
    while (::recv(socket, &byte, 1, 0) > 0) {
    }
  });
  auto consumer = DQURLConnectionConsumer::make();
  auto get = DQURLConnection::connectionWithGETRequest(url(silent.url("/")), directProvider(), consumer);
  ASSERT_TRUE(load(*get, 0.25));
  ASSERT_TRUE(consumer->loadingError());
  EXPECT_TRUE(consumer->loadingError()->is(Error::kURLErrorDomain, -1001));
  EXPECT_FALSE(consumer->responseStatusCode());
}

TEST(DQURLConnectionFailureTest, RefusedConnectionIsCode8AndNonHttpUrlDoesNotOpen) {
  auto consumer = DQURLConnectionConsumer::make();
  auto get = DQURLConnection::connectionWithGETRequest(url("http://127.0.0.1:" + std::to_string(closedPort()) + "/"),
                                                       directProvider(), consumer);
  ASSERT_TRUE(load(*get));
  ASSERT_TRUE(consumer->loadingError());
  EXPECT_TRUE(consumer->loadingError()->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kConnectionRefused));

  ErrorPtr error;
  EXPECT_FALSE(load(*DQURLConnection::connectionWithGETRequest(url("ftp://127.0.0.1/"), directProvider(),
                                                               DQURLConnectionConsumer::make()), 30, &error));
  EXPECT_TRUE(error && error->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kOtherFailure));
}

TEST(DQURLConnectionFailureTest, AnswerThatIsNoHttpIsCode3OverCode7) {
  for (const std::string answer : {"garbage that is no HTTP at all\r\n\r\n", "HTTP/1.1 abc\r\n\r\n"}) {
    SCOPED_TRACE(answer);
    RawServer garbage([answer](int socket, const std::string&) { RawServer::sendAll(socket, answer); });
    auto consumer = DQURLConnectionConsumer::make();
    auto get = DQURLConnection::connectionWithGETRequest(url(garbage.url("/")), directProvider(), consumer);
    ASSERT_TRUE(load(*get));
    const ErrorPtr error = consumer->loadingError();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kUnparsableResponse));
    ASSERT_TRUE(error->underlyingError());
    EXPECT_TRUE(error->underlyingError()->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kNotHTTP));
  }
}

TEST(DQURLConnectionFailureTest, BrokenAnswersGetTheirStreamCodesAndFramingFaultsAreFinal) {
  std::string longHead = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 70; ++i) longHead += "X-Field-" + std::to_string(i) + ": " + std::string(1000, 'a') + "\r\n";
  struct Case {
    const char* name;
    std::string reply;
    std::int64_t code;
    bool final;  // 3 over 7, not to be retried
  };
  const Case cases[] = {
      {"empty reply", "", DQHTTPStreamError::kConnectionFailure, false},
      {"closed before the status line", "HTTP/1.", DQHTTPStreamError::kConnectionFailure, false},
      {"closed before the body's end", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc",
       DQHTTPStreamError::kConnectionFailure, false},
      {"length with letters", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\nhello world!!!", 3, true},
      {"contradictory lengths", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", 3, true},
      {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", 3, true},
      {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n", 3, true},
      {"head past 64 KiB", longHead + "Content-Length: 2\r\n\r\nok", 3, true},
      {"one header line past 100 KiB", "HTTP/1.1 200 OK\r\nX-Long: " + std::string(120 * 1024, 'a') + "\r\n\r\n",
       3, true},
      {"length past the body limit", "HTTP/1.1 200 OK\r\nContent-Length: 67108865\r\n\r\n", 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawServer peer([&c](int socket, const std::string&) { RawServer::sendAll(socket, c.reply); });
    auto consumer = DQURLDataAccumulationConsumer::make();
    ASSERT_TRUE(load(*DQURLConnection::connectionWithGETRequest(url(peer.url("/")), directProvider(), consumer)));
    const ErrorPtr error = consumer->loadingError();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(DQHTTPStreamError::domain(), c.code)) << error->description();
    EXPECT_EQ(DQHTTPStreamError::isNonRecoverable(error), c.final);
    if (c.final) {
      EXPECT_TRUE(error->underlyingError() &&
                  error->underlyingError()->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kNotHTTP));
      EXPECT_TRUE(consumer->responseData().empty());
    }
  }
}

TEST(DQNetworkHTTPStreamTest, BodyPastTheLimitEndsTheExchange) {
  // Bodies that never end, close-delimited and chunked: the stream takes
  // kMaximumBodyLength bytes at the most, then fails for good.
  const std::string piece(1 << 20, 'x');
  char size[16];
  std::snprintf(size, sizeof(size), "%zx\r\n", piece.size());
  for (const std::string& chunk : {std::string(), std::string(size) + piece + "\r\n"}) {
    const bool chunked = !chunk.empty();
    SCOPED_TRACE(chunked ? "chunked" : "close-delimited");
    RawServer endless([&](int socket, const std::string&) {
      RawServer::sendAll(socket, chunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" : "HTTP/1.1 200 OK\r\n\r\n");
      while (RawServer::sendAll(socket, chunked ? chunk : piece)) {
      }
    });
    auto stream = directProvider()->streamForRequest(HttpMessage::makeRequest("GET", url(endless.url("/"))));
    auto delegate = std::make_shared<RecordingDelegate>();
    stream->setDelegate(delegate);
    ASSERT_TRUE(stream->openInRunLoop(std::nullopt, 30, nullptr, nullptr));
    ASSERT_TRUE(RunLoop::current().runUntil([&] { return delegate->failure != nullptr; }, kPatience));
    EXPECT_LE(delegate->bodyLength, IDQHTTPStream::kMaximumBodyLength);
    EXPECT_TRUE(delegate->failure->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kUnparsableResponse));
    EXPECT_TRUE(DQHTTPStreamError::isNonRecoverable(delegate->failure));
    stream->close();
  }
}

TEST(DQURLConnectionConsumerTest, ABodyOfAnnouncedLengthIsKeptInOneAllocationOfThatLength) {
  // A large piece, then after a pause a small one: grown piece by piece the
  // body would take twice the room of the first.
  RawServer peer([](int socket, const std::string&) {
    RawServer::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 61000\r\n\r\n" + std::string(60000, 'a'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    RawServer::sendAll(socket, std::string(1000, 'b'));
  });
  auto consumer = DQURLDataAccumulationConsumer::make();
  ASSERT_TRUE(load(*DQURLConnection::connectionWithGETRequest(url(peer.url("/")), directProvider(), consumer)));
  EXPECT_EQ(consumer->responseData().size(), 61000u);
  EXPECT_EQ(consumer->responseData().capacity(), 61000u);
}

TEST(DQNetworkHTTPStreamTest, DeliversResponseDataEndInOrderAndBodiesUndecoded) {
  // A body that claims to be compressed is handed over as it came.
  RawServer peer([](int socket, const std::string&) {
    RawServer::sendAll(socket,
                       "HTTP/1.1 100 Continue\r\n\r\n"
                       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "4\r\nnot \r\n4\r\ngzip\r\n0\r\n\r\n");
  });
  auto request = HttpMessage::makeRequest("GET", url(peer.url("/")));
  auto stream = directProvider()->streamForRequest(request);
  auto delegate = std::make_shared<RecordingDelegate>();
  stream->setDelegate(delegate);
  ErrorPtr error;
  ASSERT_TRUE(stream->openInRunLoop(std::nullopt, 30, &error, nullptr));
  EXPECT_TRUE(RunLoop::current().runUntil([&] { return !delegate->calls.empty() && delegate->calls.back() == "end"; },
                                          kPatience));
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"response 200", "data not ", "data gzip", "end"}));
  stream->close();
}

TEST(DQNetworkHTTPStreamTest, NothingIsDeliveredAfterClose) {
  RawServer peer([](int socket, const std::string&) {
    RawServer::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody");
  });
  // Closed and let go from inside a delegate call: the stream outlives the
  // call and reports nothing more.
  auto dropped = directProvider()->streamForRequest(HttpMessage::makeRequest("GET", url(peer.url("/"))));
  auto dropping = std::make_shared<RecordingDelegate>();
  dropping->onResponse = [&dropped](IDQHTTPStream& s) {
    s.close();
    dropped.reset();
  };
  dropped->setDelegate(dropping);
  ASSERT_TRUE(dropped->openInRunLoop(std::nullopt, 30, nullptr, nullptr));
  EXPECT_TRUE(RunLoop::current().runUntil([&] { return !dropped; }, kPatience));
  RunLoop::current().runUntil(RunLoop::Clock::now() + std::chrono::milliseconds(50));
  EXPECT_EQ(dropping->calls, (std::vector<std::string>{"response 200"}));
}

TEST(DQURLConnectionTlsTest, SelfSignedCertificateRefusedWhenValidatingAcceptedWhenNot) {
  TemporaryDirectory directory;
  const Certificate certificate = makeSelfSignedCertificate(directory);
  ASSERT_FALSE(certificate.certificatePath.empty()) << "openssl could not make a certificate";
  HttpServer server(certificate.certificatePath, certificate.keyPath);
  server.routes().Get("/secure", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("secret", "text/plain");
  });
  server.start();

  for (const bool validate : {true, false}) {
    auto consumer = DQURLDataAccumulationConsumer::make();
    ASSERT_TRUE(load(*DQURLConnection::connectionWithGETRequest(url(server.url("/secure")), directProvider(validate), consumer)));
    EXPECT_EQ(consumer->loadingError() != nullptr, validate);
    EXPECT_EQ(text(consumer->responseData()), validate ? "" : "secret");
  }
}

TEST(DQURLConnectionProxyTest, SystemProxyIsHonouredOnlyWhenAsked) {
  HttpServer target;
  target.routes().Get("/where", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("direct", "text/plain");
  });
  target.start();
  RawServer proxy([](int socket, const std::string&) {
    RawServer::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nproxy");
  });
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  ScopedEnvironment httpProxy("http_proxy", proxyUrl.c_str());
  ScopedEnvironment allProxy("all_proxy", nullptr);
  ScopedEnvironment noProxy("no_proxy", nullptr);
  ScopedEnvironment noProxyUpper("NO_PROXY", nullptr);

  auto viaProxy = DQURLDataAccumulationConsumer::make();
  ASSERT_TRUE(load(*DQURLConnection::connectionWithGETRequest(
      url(target.url("/where")), DQNetworkHTTPStreamProvider::initUsingProxy(true, true), viaProxy)));
  EXPECT_EQ(text(viaProxy->responseData()), "proxy");
  ASSERT_EQ(proxy.requests().size(), 1u);
  // The proxy is asked for the whole URL.
  EXPECT_EQ(proxy.requests()[0].rfind("GET " + target.url("/where") + " HTTP/1.1\r\n", 0), 0u);

  auto direct = DQURLDataAccumulationConsumer::make();
  ASSERT_TRUE(load(*DQURLConnection::connectionWithGETRequest(
      url(target.url("/where")), DQNetworkHTTPStreamProvider::initUsingProxy(false, true), direct)));
  EXPECT_EQ(text(direct->responseData()), "direct");
  EXPECT_EQ(proxy.requests().size(), 1u);
}

namespace {

// A run-loop operation that makes one GET and waits for it, as the library's
// operations do.
class FetchOperation : public DQRunLoopOperation {
 public:
  explicit FetchOperation(Url url) : url_(std::move(url)) {}
  void performOperationTask() override {
    consumer = DQURLDataAccumulationConsumer::make();
    auto connection = DQURLConnection::connectionWithGETRequest(url_, directProvider(), consumer);
    if (!connection->open(60, &openError, [this] { return isCancelled(); })) return;
    runUntil([&] { return connection->isLoadingCompleted(); }, [&] { return connection->canBeInterrupted(); });
    connection->close();
  }
  std::shared_ptr<DQURLDataAccumulationConsumer> consumer;
  ErrorPtr openError;

 private:
  Url url_;
};

}  // namespace

TEST(DQURLConnectionOperationTest, CancellationAbandonsTheWaitOfAnOperation) {
  OperationQueue queue("fetch.test");
  std::promise<void> accepted;
  RawServer silent([&](int socket, const std::string&) {
    accepted.set_value();
    char byte;
    while (::recv(socket, &byte, 1, 0) > 0) {
    }
  });
  auto stuck = std::make_shared<FetchOperation>(url(silent.url("/")));
  std::promise<void> stuckFinished;
  stuck->setCompletionBlock([&] { stuckFinished.set_value(); });
  queue.addOperation(stuck);
  ASSERT_EQ(accepted.get_future().wait_for(kPatience), std::future_status::ready);
  stuck->cancel();
  ASSERT_EQ(stuckFinished.get_future().wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(stuck->consumer->isLoadingCompleted());
}

namespace {

// A stream that already holds its response, for the order in which a stream
// that parses a whole answer at once reports it: data and end first.
class AnsweredStream : public DQHTTPStreamBase {
 public:
  AnsweredStream() { setResponse(200, Dictionary{{"Content-Length", Value("2")}}); }
  bool openInRunLoop(const std::optional<RunLoop>&, double, ErrorPtr*, CancellationBlock) override { return true; }
  void close() override {}
  double minimumConnectionTimeout() const override { return 0; }
  bool canBeInterrupted() const override { return true; }
};

}  // namespace

TEST(DQURLConnectionConsumerTest, EndBeforeResponseStillLeavesStatusAndHeader) {
  auto stream = std::make_shared<AnsweredStream>();
  auto consumer = DQURLDataAccumulationConsumer::make();
  consumer->stream(*stream, bytes("ok"));
  consumer->streamDidEnd(*stream);
  EXPECT_EQ(consumer->responseStatusCode(), 200);
  consumer->streamDidReceiveResponse(*stream);  // the response that follows changes nothing
  consumer->connectionTimerDidFire();  // too late to matter
  EXPECT_FALSE(consumer->loadingError());
}
