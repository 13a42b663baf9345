#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "DQHTTPStreamError.h"
#include "DQURLAuthenticationManager.h"
#include "DQURLConnection.h"
#include "DQURLDataAccumulationConsumer.h"
#include "DQUSBStreamProvider.h"
#include "Simulation/Usb/VirtualPrinterHttpResponder.h"
#include "TestSupport.h"
#include "USBTestSupport.h"

using platform::HttpMessage;
using platform::SimUsbBus;
using platform::VirtualPrinter;
using Responder = platform::VirtualPrinterHttpResponder;
using namespace testsupport;

namespace {

// The stream's waits, a hundredth of the real ones or less.
DQUSBStreamTiming fastTiming() {
  DQUSBStreamTiming timing;
  timing.openSearch = 0.6, timing.openPassInterval = 0.03, timing.firstWriteDelay = 0.001;
  timing.retryInterval = 0.005, timing.readNoData = 0.02, timing.readCompletion = 0.5;
  timing.headerCheck = 0.1, timing.cancellationHonoured = 0.1, timing.responseTimeout = 0.4;
  timing.pollInterval = 0.01, timing.drainNoData = 0.005, timing.drainCompletion = 0.05;
  return timing;
}

std::shared_ptr<HttpMessage> answer(int status, const std::string& body = {}) {
  auto response = HttpMessage::makeResponse(status, status == 200 ? "OK" : "Status");
  response->setBody(bytes(body));
  return response;
}

// A delegate that writes down every call, in order.
class RecordingDelegate : public DQHTTPStreamDelegate {
 public:
  std::vector<std::string> calls;
  void streamDidReceiveResponse(IDQHTTPStream& stream) override {
    calls.push_back("response " + std::to_string(stream.statusCode().value_or(0)));
  }
  void stream(IDQHTTPStream&, const platform::Data& data) override { calls.push_back("data " + text(data)); }
  void streamDidEnd(IDQHTTPStream&) override { calls.push_back("end"); }
  void stream(IDQHTTPStream&, const platform::ErrorPtr& error) override {
    calls.push_back("failure " + std::to_string(error->code()));
  }
};

// A printer of the maker on a simulated bus (64-byte packets, so answers
// come in many reads) with an HTTP responder on its interface 0, and a
// provider for its "nexausb" URL.
class USBHTTPStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    redirectUSBTrace();
    plug(zarnPrinter(64));
    responder = Responder::attach(printer, 0, [this](const Responder::Request& request) { return handle(request); });
    provider = makeProvider("nexausb://SN0001/");
  }
  void plug(VirtualPrinter::Description description, std::uint8_t address = 2) {
    printer = std::make_shared<VirtualPrinter>(std::move(description));
    bus->plug(printer, SimUsbBus::key(address, 1));
  }
  std::shared_ptr<DQUSBStreamProvider> makeProvider(const std::string& text) {
    auto made = std::make_shared<DQUSBStreamProvider>(*platform::Url::fromString(text), bus);
    made->setStreamTiming(timing);
    return made;
  }
  std::shared_ptr<HttpMessage> handle(const Responder::Request& request) {
    if (request.target == "/silent") return nullptr;
    if (request.target == "/unframed") {
      printer->pushInput(0, bytes("HTTP/1.1 500 Internal Error\r\nX-Printer: jammed\r\n\r\n"));
      return nullptr;
    }
    if (request.target == "/echo") return answer(request.method == "POST" ? 201 : 200, text(platform::Data(request.body)));
    if (request.target == "/secret" && request.field("Authorization") != "Basic YWRtaW46c2VjcmV0") {
      auto response = answer(401);
      response->setHeaderField("WWW-Authenticate", "Basic realm=\"Printer\"");
      return response;
    }
    return answer(200, body);
  }
  // Resolves the provider, then loads through a connection; false when it
  // did not open (openError tells why) or did not end.
  bool get(const std::string& path, const std::string& method = "GET",
                                       const std::string& sent = {}) {
    provider->startResolving();
    EXPECT_TRUE(provider->isResolved());
    consumer = DQURLDataAccumulationConsumer::make();
    const auto url = *platform::Url::fromString("nexausb://SN0001" + path);
    auto connection = method == "GET"    ? DQURLConnection::connectionWithGETRequest(url, provider, consumer)
                      : method == "HEAD" ? DQURLConnection::connectionWithHEADRequest(url, provider, consumer)
                      : method == "PUT"
                          ? DQURLConnection::connectionWithPUTRequest(url, provider, consumer, bytes(sent), "text/plain")
                          : DQURLConnection::connectionWithPOSTRequest(url, provider, consumer, bytes(sent), "text/plain");
    return load(*connection, 30, &openError);
  }
  // A stream of the resolved provider, opened with the recording delegate.
  std::shared_ptr<IDQHTTPStream> openStream(const std::string& path, IDQHTTPStream::CancellationBlock cancelled = nullptr) {
    provider->startResolving();
    auto stream = provider->streamForRequest(
        HttpMessage::makeRequest("GET", *platform::Url::fromString("nexausb://SN0001" + path)));
    stream->setDelegate(recorder);
    opened = stream->openInRunLoop(std::nullopt, 0, &openError, std::move(cancelled));
    return stream;
  }
  std::int64_t loadingErrorCode() const { return consumer->loadingError() ? consumer->loadingError()->code() : 0; }

  DQUSBStreamTiming timing = fastTiming();
  std::shared_ptr<SimUsbBus> bus = std::make_shared<SimUsbBus>();
  std::shared_ptr<VirtualPrinter> printer;
  std::shared_ptr<Responder> responder;
  std::shared_ptr<DQUSBStreamProvider> provider;
  std::shared_ptr<DQURLDataAccumulationConsumer> consumer;
  std::shared_ptr<RecordingDelegate> recorder = std::make_shared<RecordingDelegate>();
  platform::ErrorPtr openError;
  bool opened = false;
  std::string body = "<status>idle</status>";
};

TEST_F(USBHTTPStreamTest, ContentLengthHeadPutAndPostBodiesComeBackInManyReads) {
  body = std::string(3000, 'x') + "end";
  ASSERT_TRUE(get("/doc"));
  EXPECT_EQ(consumer->responseStatusCode(), 200);
  EXPECT_EQ(text(consumer->responseData()), body);

  ASSERT_TRUE(get("/doc", "HEAD"));
  EXPECT_EQ(consumer->responseStatusCode(), 200);
  EXPECT_TRUE(consumer->responseData().empty());
  EXPECT_FALSE(consumer->loadingError());

  const std::string sent(2500, 'p');  // more than two 1024-byte blocks
  ASSERT_TRUE(get("/echo", "PUT", sent));
  EXPECT_EQ(text(consumer->responseData()), sent);
  ASSERT_TRUE(get("/echo", "POST", "posted"));
  EXPECT_EQ(consumer->responseStatusCode(), 201);
  EXPECT_EQ(text(consumer->responseData()), "posted");
  ASSERT_EQ(responder->requests().size(), 4u);
  EXPECT_EQ(responder->requests()[2].method, "PUT");
  EXPECT_EQ(responder->requests()[2].field("Content-Type"), "text/plain");
}

TEST_F(USBHTTPStreamTest, ChunkedBodiesWithChunkBoundariesAtEveryPositionOfARead) {
  body.clear();
  for (int i = 0; i < 150; ++i) body += static_cast<char>('a' + i % 26);
  for (std::size_t chunk = 1; chunk <= 66; ++chunk) {
    responder->setChunkSize(chunk);
    ASSERT_TRUE(get("/doc"));
    ASSERT_EQ(text(consumer->responseData()), body) << "chunk size " << chunk;
  }
}

TEST_F(USBHTTPStreamTest, UnauthorizedThenCredentialsThroughTheManagerThenSuccessWithoutTheSecretInTheLog) {
  CapturedLog log;
  ASSERT_TRUE(get("/secret"));
  EXPECT_EQ(consumer->responseStatusCode(), 401);
  auto request = consumer->authenticationRequest();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->protectionSpace().host(), "SN0001");
  EXPECT_EQ(request->protectionSpace().realm(), "Printer");

  DQURLAuthenticationManager manager(
      [](std::shared_ptr<DQURLAuthenticationChallenge> challenge, std::uint64_t) {
        challenge->completeChallengeWithUserName("admin", "secret");
      },
      std::make_shared<platform::CredentialStorage>());
  ASSERT_TRUE(manager.beginAuthenticationUntil(nullptr));
  auto challenge = manager.challengeForProtectionSpace(request->protectionSpace(), "status");
  ASSERT_TRUE(challenge && challenge->isCompleted());

  provider->startResolving();
  consumer = DQURLDataAccumulationConsumer::make();
  auto retry = DQURLConnection::connectionWithGETRequest(*platform::Url::fromString("nexausb://SN0001/secret"),
                                                         provider, consumer);
  ASSERT_TRUE(retry->applyAuthenticationForRequest(*request, challenge->userName(), challenge->password()));
  ASSERT_TRUE(load(*retry));
  manager.endAuthentication(consumer->responseStatusCode() == 200);
  EXPECT_EQ(consumer->responseStatusCode(), 200);
  EXPECT_EQ(text(consumer->responseData()), body);
  bool redacted = false;
  for (const auto& [level, line] : log.lines()) {
    EXPECT_EQ(line.find("YWRtaW46c2VjcmV0"), std::string::npos) << line;
    redacted = redacted || line.find("\r\nAuthorization: <redacted>\r\n") != std::string::npos;
  }
  EXPECT_TRUE(redacted);
}

TEST_F(USBHTTPStreamTest, ABusyInterfaceIsWaitedForUntilTheOpenSearchEnds) {
  printer->holdByOtherClient(0, VirtualPrinter::Clock::now() + std::chrono::milliseconds(50));
  ASSERT_TRUE(get("/doc"));
  EXPECT_EQ(text(consumer->responseData()), body);

  printer->holdByOtherClient(0, VirtualPrinter::Clock::now() + std::chrono::milliseconds(700));
  EXPECT_FALSE(get("/doc"));
  ASSERT_TRUE(openError);
  EXPECT_EQ(openError->code(), DQHTTPStreamError::kInterfaceExclusive);
  EXPECT_FALSE(DQHTTPStreamError::isNonRecoverable(openError));
}

TEST_F(USBHTTPStreamTest, UnplugDuringTheOpenEndsItAtOnceAndSoDoesCancellation) {
  timing.openSearch = 30;
  provider->setStreamTiming(timing);
  printer->holdByOtherClient(0, VirtualPrinter::Clock::now() + std::chrono::seconds(60));
  platform::RunLoop::current().performAfter(std::chrono::milliseconds(50), [this] { bus->unplug(printer); });
  const auto start = std::chrono::steady_clock::now();
  auto stream = openStream("/doc");
  EXPECT_FALSE(opened);
  ASSERT_TRUE(openError);
  EXPECT_EQ(openError->code(), DQHTTPStreamError::kConnectionFailure);
  EXPECT_TRUE(DQHTTPStreamError::isNonRecoverable(openError));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

  // A stream without a device, and one whose caller cancels during the waits.
  auto orphan = makeProvider("nexausb://SN0001/")->streamForRequest(nullptr);
  openError.reset();
  EXPECT_FALSE(orphan->openInRunLoop(std::nullopt, 0, &openError, nullptr));
  EXPECT_TRUE(DQHTTPStreamError::isNonRecoverable(openError));
  plug(zarnPrinter(), 3);
  printer->holdByOtherClient(0, VirtualPrinter::Clock::now() + std::chrono::seconds(60));
  provider = makeProvider("nexausb://SN0001/");
  provider->setStreamTiming(timing);
  const auto cancelAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  openStream("/doc", [cancelAt] { return std::chrono::steady_clock::now() > cancelAt; });
  EXPECT_FALSE(opened);
  EXPECT_EQ(openError->code(), DQHTTPStreamError::kInterfaceExclusive);
  EXPECT_TRUE(recorder->calls.empty());
}

TEST_F(USBHTTPStreamTest, NoAnswerFailsOnceWithCode4AndCancellationOnlyAllowsInterruption) {
  auto stream = openStream("/silent");
  ASSERT_TRUE(opened);
  platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + std::chrono::seconds(1));
  EXPECT_EQ(recorder->calls, std::vector<std::string>{"failure 4"});
  EXPECT_TRUE(stream->canBeInterrupted());
  stream->close();

  recorder->calls.clear();
  bool cancelled = false;
  stream = openStream("/silent", [&cancelled] { return cancelled; });
  ASSERT_TRUE(spinUntil([&] { return !stream->canBeInterrupted(); }));
  cancelled = true;
  ASSERT_TRUE(spinUntil([&] { return stream->canBeInterrupted(); }));
  EXPECT_TRUE(recorder->calls.empty());
  stream->close();
  EXPECT_FALSE(std::static_pointer_cast<DQUSBHTTPStream>(stream)->device()->isConnected());
}

TEST_F(USBHTTPStreamTest, AnErrorStatusWithoutBodyFramingEndsAfterTheHeaderCheck) {
  auto stream = openStream("/unframed");
  ASSERT_TRUE(spinUntil([&] { return stream->canBeInterrupted() && recorder->calls.size() == 2; }));
  EXPECT_EQ(recorder->calls, (std::vector<std::string>{"response 500", "end"}));
  EXPECT_GT(std::static_pointer_cast<DQUSBHTTPStream>(stream)->streamStatus()->responseReadingTime(), timing.headerCheck);
}

TEST_F(USBHTTPStreamTest, StaleBytesOfAnEarlierExchangeAreDrainedBeforeTheRequest) {
  const std::string stale = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstale";
  printer->pushInput(0, bytes(stale));
  ASSERT_TRUE(get("/doc"));
  EXPECT_EQ(text(consumer->responseData()), body);
}

TEST_F(USBHTTPStreamTest, ResponseCompleteInOneReadDeliversTheBodyBeforeTheResponse) {
  auto stream = openStream("/doc");
  ASSERT_TRUE(spinUntil([&] { return recorder->calls.size() == 3; }));
  EXPECT_EQ(recorder->calls, (std::vector<std::string>{"data " + body, "end", "response 200"}));
}

TEST_F(USBHTTPStreamTest, ProviderResolvesByEscapedSerialAndIgnoresOtherMakers) {
  auto description = zarnPrinter();
  description.strings[3] = "AB%CD E";
  plug(description, 4);
  auto foreign = zarnPrinter();
  foreign.vendorId = 0x1234;
  foreign.strings[3] = "AB%CD E";
  plug(foreign, 5);
  auto escaped = makeProvider("nexausb://AB%25CD%20E/");
  escaped->startResolving();
  ASSERT_TRUE(escaped->isResolved());
  EXPECT_EQ(escaped->device()->serialNumber(), "AB%CD E");
  EXPECT_TRUE(escaped->device()->isZarnDevice());
  ASSERT_EQ(escaped->NEXAIS().size(), 1u);
  escaped->startResolving();  // the device object is still connected: reused
  EXPECT_TRUE(escaped->isResolved());
}

TEST_F(USBHTTPStreamTest, ProviderHearsOfALaterPrinterAndFailsOneWithoutNEXAInterfaces) {
  auto later = makeProvider("nexausb://LATE/");
  later->startResolving();
  EXPECT_EQ(later->state(), DQUSBStreamProvider::kResolving);
  later->startResolving();
  EXPECT_EQ(later->state(), DQUSBStreamProvider::kResolving);
  auto description = zarnPrinter();
  description.strings[3] = "LATE";
  platform::RunLoop::current().performAfter(std::chrono::milliseconds(20), [&] { plug(description, 6); });
  ASSERT_TRUE(spinUntil([&] { return later->isResolvingCompleted(); }));
  EXPECT_TRUE(later->isResolved());

  auto bare = zarnPrinter();
  bare.strings[3] = "BARE";
  bare.deviceIDs.erase({0, 1});
  plug(bare, 7);
  auto none = makeProvider("nexausb://BARE/");
  none->startResolving();
  ASSERT_EQ(none->state(), DQUSBStreamProvider::kFailed);
  EXPECT_EQ(none->resolvingError()->code(), DQHTTPStreamError::kNoNEXAInterfaces);
}

}  // namespace
