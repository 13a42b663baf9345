#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DQHTTPStreamError.h"
#include "DQURLAuthenticationManager.h"
#include "DQURLConnection.h"
#include "DQURLDataAccumulationConsumer.h"
#include "DQUSBStreamProvider.h"
#include "DQUSBTraceFile.h"
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
  timing.pollInterval = 0.01, timing.drainNoData = 0.001, timing.drainCompletion = 0.05;
  return timing;
}

std::shared_ptr<HttpMessage> answer(int status, const std::string& body = {}) {
  auto response = HttpMessage::makeResponse(status, status == 200 ? "OK" : "Status");
  response->setBody(bytes(body));
  return response;
}

// A delegate that writes down every call, in order, then calls `then`.
class RecordingDelegate : public DQHTTPStreamDelegate {
 public:
  std::vector<std::string> calls;
  std::function<void()> then;
  void streamDidReceiveResponse(IDQHTTPStream& stream) override {
    record("response " + std::to_string(stream.statusCode().value_or(0)));
  }
  void stream(IDQHTTPStream&, const platform::Data& data) override { record("data " + text(data)); }
  void streamDidEnd(IDQHTTPStream&) override { record("end"); }
  void stream(IDQHTTPStream&, const platform::ErrorPtr& error) override {
    failure = error;
    record("failure " + std::to_string(error->code()));
  }
  platform::ErrorPtr failure;
  // The exchange ended, well or not.
  bool ended() const {
    return std::any_of(calls.begin(), calls.end(),
                       [](const std::string& call) { return call == "end" || call.starts_with("failure"); });
  }

 private:
  void record(std::string call) {
    calls.push_back(std::move(call));
    if (then) then();
  }
};

// The bytes of the write items of a stretch of the USB trace, joined: the
// request as the trace keeps it.
std::string writtenInTrace(const std::string& trace) {
  static const std::string kItem = "\n--- Write: Result:";
  std::string joined;
  for (auto at = trace.find(kItem); at != std::string::npos; at = trace.find(kItem, at + 1)) {
    const auto data = trace.find('\n', at + 1) + 1;
    joined += trace.substr(data, trace.find("\n--- ", data) - data);
  }
  return joined;
}

constexpr std::string_view kSecret = "YWRtaW46c2VjcmV0";  // admin:secret

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
  // The printer unplugged, with what it still had to send, and a fresh one
  // plugged at a new address (as the host gives it), answering as before.
  void replug() {
    bus->unplug(printer);
    plug(zarnPrinter(64), nextAddress++);
    responder = Responder::attach(printer, 0, [this](const Responder::Request& request) { return handle(request); });
  }
  // The same, the fresh printer sending one byte a millisecond, for
  // exchanges timed by `timing` as it is now, with nothing recorded yet.
  void replugTrickling() {
    replug();
    printer->setDripDelay(1ms, 1);
    provider->setStreamTiming(timing);
    recorder->calls.clear();
  }
  std::shared_ptr<DQUSBStreamProvider> makeProvider(const std::string& text) {
    auto made = std::make_shared<DQUSBStreamProvider>(*platform::Url::fromString(text), bus);
    made->setStreamTiming(timing);
    return made;
  }
  std::shared_ptr<HttpMessage> handle(const Responder::Request& request) {
    if (!before.empty()) printer->pushInput(0, bytes(std::exchange(before, {})));
    if (request.target == "/silent") return nullptr;
    if (request.target == "/raw") {
      printer->pushInput(0, bytes(raw));
      return nullptr;
    }
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
  // One exchange of `request` on a stream of the resolved provider, with the
  // recording delegate, until it ended; closed.
  std::shared_ptr<IDQHTTPStream> exchange(std::shared_ptr<HttpMessage> request) {
    provider->startResolving();
    auto stream = provider->streamForRequest(std::move(request));
    recorder->calls.clear();
    stream->setDelegate(recorder);
    opened = stream->openInRunLoop(std::nullopt, 0, &openError, nullptr);
    EXPECT_TRUE(opened);
    EXPECT_TRUE(spinUntil([&] { return recorder->ended(); }));
    stream->close();
    return stream;
  }
  // An exchange that ends once the printer sent `received` (which the
  // reading takes whole before an empty read).
  void cutAfter(const std::string& received) {
    raw = received;
    auto stream = std::static_pointer_cast<DQUSBHTTPStream>(openStream("/raw"));
    EXPECT_TRUE(opened);
    EXPECT_TRUE(spinUntil([&] { return stream->streamStatus()->responseBytesReaden() == received.size(); }));
    stream->close();
  }
  static platform::Url url(const std::string& path) { return *platform::Url::fromString("nexausb://SN0001" + path); }
  static std::string traceNow() { return readFile(DQUSBTraceFile::defaultPath()); }
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
  std::string raw;  // what the printer answers "/raw" with, as it is
  std::string before;  // what the printer sends before its next answer
  std::uint8_t nextAddress = 20;  // where replug plugs the fresh printer
};

// A head of `length` and that many bytes of body: at one byte a millisecond
// or slower, an answer that does not end within a test.
std::string endless(std::size_t length = 100000) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n" + std::string(length, 'd');
}

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
  // Let go well within the search, or held well past it.
  timing.openSearch = 5;
  provider->setStreamTiming(timing);
  printer->holdByOtherClient(0, VirtualPrinter::Clock::now() + std::chrono::milliseconds(50));
  ASSERT_TRUE(get("/doc"));
  EXPECT_EQ(text(consumer->responseData()), body);

  timing.openSearch = 0.6;
  provider->setStreamTiming(timing);
  printer->holdByOtherClient(0, VirtualPrinter::Clock::now() + std::chrono::seconds(30));
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
  ASSERT_TRUE(spinUntil([&] { return recorder->ended(); }));
  platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + 300ms);
  EXPECT_EQ(recorder->calls, std::vector<std::string>{"failure 4"});
  EXPECT_TRUE(stream->canBeInterrupted());
  stream->close();

  // Cancelled while it waits for the answer: it may be interrupted, with no
  // failure reported, long before the response time-out.
  timing.responseTimeout = 30;
  provider->setStreamTiming(timing);
  recorder->calls.clear();
  bool cancelled = false;
  stream = openStream("/silent", [&cancelled] { return cancelled; });
  auto status = std::static_pointer_cast<DQUSBHTTPStream>(stream)->streamStatus();
  ASSERT_TRUE(spinUntil([&] { return status->isRequestSent() && !stream->canBeInterrupted(); }));
  cancelled = true;
  ASSERT_TRUE(spinUntil([&] { return stream->canBeInterrupted(); }));
  EXPECT_TRUE(recorder->calls.empty());
  stream->close();
  EXPECT_FALSE(std::static_pointer_cast<DQUSBHTTPStream>(stream)->device()->isConnected());

  // A read waiting for the printer ends when the cancellation may come in:
  // once the exchange has lasted its time (from the start of its write) for
  // a cancellation as the request came, at once for a later one (the read
  // would wait 5 s).
  timing.readNoData = timing.readCompletion = 5;
  provider->setStreamTiming(timing);
  const auto here = platform::RunLoop::current();
  for (const auto cancelAfter : {0ms, 300ms}) {
    cancelled = false;
    responder = Responder::attach(printer, 0, [&](const Responder::Request&) {
      here.performAfter(cancelAfter, [&cancelled] { cancelled = true; });
      return std::shared_ptr<HttpMessage>();
    });
    const auto start = std::chrono::steady_clock::now();
    auto silent = std::static_pointer_cast<DQUSBHTTPStream>(openStream("/silent", [&cancelled] { return cancelled; }));
    ASSERT_TRUE(spinUntil([&] { return cancelled && silent->canBeInterrupted(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::duration<double>(timing.cancellationHonoured));
    EXPECT_LT(silent->streamStatus()->responseReadingTime(), 0.3 + 2) << cancelAfter.count();
    EXPECT_TRUE(recorder->calls.empty());
    silent->close();
  }
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
  const auto searcher = later->devicesSearcher();
  later->startResolving();
  EXPECT_EQ(later->state(), DQUSBStreamProvider::kResolving);
  EXPECT_EQ(later->devicesSearcher(), searcher);
  auto description = zarnPrinter();
  description.strings[3] = "LATE";
  platform::RunLoop::current().performAfter(std::chrono::milliseconds(20), [&] { plug(description, 6); });
  ASSERT_TRUE(spinUntil([&] { return later->isResolvingCompleted(); }));
  EXPECT_TRUE(later->isResolved());
  // Resolved: the search is over and the searcher let go.
  EXPECT_FALSE(later->devicesSearcher());
  EXPECT_FALSE(searcher->isRunning());

  auto bare = zarnPrinter();
  bare.strings[3] = "BARE";
  bare.deviceIDs.erase({0, 1});
  plug(bare, 7);
  auto none = makeProvider("nexausb://BARE/");
  none->startResolving();
  ASSERT_EQ(none->state(), DQUSBStreamProvider::kFailed);
  EXPECT_EQ(none->resolvingError()->code(), DQHTTPStreamError::kNoNEXAInterfaces);
  EXPECT_FALSE(none->devicesSearcher());
}

TEST_F(USBHTTPStreamTest, TheTraceKeepsCredentialsOutWhereverPacketsCutTheirHeaderLine) {
  // 64-byte packets: each byte more of path moves every cut one byte along
  // the Authorization line, so these requests cut its name and its value at
  // every position; a message is traced before every packet.
  for (std::size_t shift = 0; shift < 64; ++shift) {
    auto request = HttpMessage::makeRequest("GET", url("/doc?" + std::string(shift, 'p')));
    request->setHeaderField("Authorization", "Basic " + std::string(kSecret));
    std::string expected = text(request->serializedMessage());
    expected.replace(expected.find(kSecret), kSecret.size(), "<redacted>");
    const std::size_t before = traceNow().size();
    exchange(request);
    EXPECT_EQ(writtenInTrace(traceNow().substr(before)), expected) << "shift " << shift;
  }
}

TEST_F(USBHTTPStreamTest, AWriteThatFailedPartWayIsRetriedFromItsFirstUnsentByte) {
  auto request = HttpMessage::makeRequest("GET", url("/secret"));
  request->setHeaderField("Authorization", "Basic " + std::string(kSecret));
  const std::string sent = text(request->serializedMessage());
  // The printer takes the first packet up to the fifth byte of the secret,
  // then the transfer times out.
  const std::size_t cut = sent.find(kSecret) + 4;
  ASSERT_LT(cut, 64u);
  printer->failNextWrites(1, platform::usbreturn::kTimeout, cut);
  const std::size_t before = traceNow().size();
  exchange(request);
  EXPECT_EQ(printer->bytesWritten(0), sent.size());
  EXPECT_EQ(recorder->calls, (std::vector<std::string>{"data " + body, "end", "response 200"}));
  // The failed packet is traced whole, the retry from the cut, and no piece
  // of the secret shows.
  const std::string trace = traceNow().substr(before);
  EXPECT_NE(trace.find("\n--- Write: Result:timeout, count: 64\n"), std::string::npos);
  EXPECT_EQ(trace.find(kSecret.substr(4)), std::string::npos);
}

TEST_F(USBHTTPStreamTest, ACloseDuringAWriteOfManyPacketsEndsItWithoutUsingWhatItFreed) {
  // Each packet ends a millisecond after it was sent, so the write spins the
  // run loop; once the printer took the fifth packet of the request, a block
  // performed on this thread closes the stream and drops it.
  printer->setWriteDelay(1ms);
  std::shared_ptr<IDQHTTPStream> stream;
  performAfterPacket(*printer, 5, [&] {
    stream->close();
    stream.reset();
  });
  provider->startResolving();
  auto put = HttpMessage::makeRequest("PUT", url("/echo"));
  put->setBody(bytes(std::string(3000, 'p')));
  stream = provider->streamForRequest(put);
  std::weak_ptr<IDQHTTPStream> weak = stream;
  stream->setDelegate(recorder);
  ASSERT_TRUE(stream->openInRunLoop(std::nullopt, 0, &openError, nullptr));
  ASSERT_TRUE(spinUntil([&] { return weak.expired(); }));
  EXPECT_EQ(printer->bytesWritten(0), 5 * 64u);
  EXPECT_TRUE(recorder->calls.empty());
  EXPECT_FALSE(printer->isClaimed(0));
}

TEST_F(USBHTTPStreamTest, AnExchangeCancelledBeforeAnyRequestByteWentOutWritesNothingMore) {
  // The first try of the request takes no byte; the exchange is cancelled
  // from that try on, long before a cancellation could interrupt a request
  // under way.
  timing.retryInterval = 0.2, timing.cancellationHonoured = 5;
  provider->setStreamTiming(timing);
  printer->failNextWrites(1, platform::usbreturn::kError);
  const auto tried = [this] { return printer->lastTimeout(0x01) != platform::UsbMillis(0); };
  auto stream = openStream("/doc", tried);
  ASSERT_TRUE(opened);
  ASSERT_TRUE(spinUntil([&] { return tried() && stream->canBeInterrupted(); }));
  platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + 50ms);
  EXPECT_EQ(printer->bytesWritten(0), 0u);
  EXPECT_FALSE(std::static_pointer_cast<DQUSBHTTPStream>(stream)->streamStatus()->isRequestSent());
  EXPECT_TRUE(recorder->calls.empty());
  stream->close();
  EXPECT_FALSE(printer->isClaimed(0));
}

TEST_F(USBHTTPStreamTest, ALongAnswerLetsTheRunLoopInAfterAtMostSixtyFourReads) {
  body = std::string(200 * 64, 'y');
  std::shared_ptr<DQUSBHTTPStream> stream;
  std::optional<std::uint64_t> readWhenLetIn;
  const auto here = platform::RunLoop::current();
  // Queued when the request has come, before the first read of the answer.
  responder = Responder::attach(printer, 0, [&](const Responder::Request&) {
    here.perform([&] { readWhenLetIn = stream->streamStatus()->responseBytesReaden(); });
    return answer(200, body);
  });
  stream = std::static_pointer_cast<DQUSBHTTPStream>(openStream("/doc"));
  ASSERT_TRUE(spinUntil([&] { return recorder->ended(); }));
  ASSERT_TRUE(readWhenLetIn);
  EXPECT_LE(*readWhenLetIn, DQUSBHTTPStream::kReadsPerTurn * 64u);
  EXPECT_EQ(std::count(recorder->calls.begin(), recorder->calls.end(), "data " + body), 1);
}

TEST_F(USBHTTPStreamTest, OpenTwiceStartsOneExchangeAndACloseFromACallbackAWaitOrATransferEndsItSilently) {
  auto stream = openStream("/doc");
  ASSERT_TRUE(opened);
  EXPECT_TRUE(stream->openInRunLoop(std::nullopt, 0, &openError, nullptr));
  ASSERT_TRUE(spinUntil([&] { return recorder->ended(); }));
  EXPECT_EQ(recorder->calls, (std::vector<std::string>{"data " + body, "end", "response 200"}));
  EXPECT_EQ(responder->requests().size(), 1u);
  stream->close();

  // From the delegate's first call: nothing more is called.
  recorder->calls.clear();
  recorder->then = [&] { stream->close(); };
  stream = openStream("/doc");
  ASSERT_TRUE(spinUntil([&] { return !recorder->calls.empty(); }));
  platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + 50ms);
  EXPECT_EQ(recorder->calls, std::vector<std::string>{"data " + body});
  recorder->then = nullptr;

  // During the wait before a write is tried again: it is not.
  timing.retryInterval = 0.3;
  provider->setStreamTiming(timing);
  recorder->calls.clear();
  printer->failNextWrites(1, platform::usbreturn::kError);
  const std::size_t written = printer->bytesWritten(0);
  stream = openStream("/doc");
  platform::RunLoop::current().performAfter(100ms, [&] { stream->close(); });
  platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + 500ms);
  EXPECT_EQ(printer->bytesWritten(0), written);
  EXPECT_TRUE(recorder->calls.empty());

  // During a read that waits for an answer: the read ends as aborted, and
  // no failure is reported.
  timing.readNoData = timing.readCompletion = 5, timing.responseTimeout = 30;
  provider->setStreamTiming(timing);
  const std::size_t before = traceNow().size();
  const auto here = platform::RunLoop::current();
  responder = Responder::attach(printer, 0, [&](const Responder::Request&) {
    here.performAfter(100ms, [&] { stream->close(); });  // once the request came
    return std::shared_ptr<HttpMessage>();
  });
  stream = openStream("/silent");
  ASSERT_TRUE(spinUntil([&] { return !printer->isClaimed(0); }));
  platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + 50ms);
  EXPECT_NE(traceNow().find("\n--- Read (5.00/5.00): Result:-536870165, count: 0\n", before), std::string::npos);
  EXPECT_TRUE(recorder->calls.empty());
}

TEST_F(USBHTTPStreamTest, ATrickleIsCutByTheResponseTimeoutAndCancellationWhileBytesStillArrive) {
  // One byte at a time: an answer that ends in time is taken whole.
  printer->setDripDelay(1ms, 1);
  timing.responseTimeout = 30;
  provider->setStreamTiming(timing);
  body = std::string(100, 't');
  auto stream = std::static_pointer_cast<DQUSBHTTPStream>(openStream("/doc"));
  ASSERT_TRUE(spinUntil([&] { return recorder->ended(); }));
  EXPECT_EQ(recorder->calls, (std::vector<std::string>{"response 200", "data " + body, "end"}));
  stream->close();

  // One that does not end (it would take 100 s) fails at the response
  // time-out, long after its head came.
  timing.responseTimeout = 2;
  replugTrickling();
  raw = endless();
  stream = std::static_pointer_cast<DQUSBHTTPStream>(openStream("/raw"));
  ASSERT_TRUE(spinUntil([&] { return recorder->ended(); }));
  EXPECT_EQ(recorder->calls, (std::vector<std::string>{"response 200", "failure 4"}));
  EXPECT_GT(stream->streamStatus()->responseReadingTime(), timing.responseTimeout);
  EXPECT_LT(stream->streamStatus()->responseReadingTime(), timing.responseTimeout + 4);
  EXPECT_TRUE(stream->canBeInterrupted());
  stream->close();

  // A cancellation that comes with the head is honoured once the exchange
  // has lasted its time, counted from the start of the write, though bytes
  // keep coming; nothing is reported.
  timing.responseTimeout = 30, timing.cancellationHonoured = 0.3;
  replugTrickling();
  const auto start = std::chrono::steady_clock::now();
  stream = std::static_pointer_cast<DQUSBHTTPStream>(openStream("/raw", [&] { return !recorder->calls.empty(); }));
  ASSERT_TRUE(spinUntil([&] { return !recorder->calls.empty() && stream->canBeInterrupted(); }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::duration<double>(timing.cancellationHonoured));
  EXPECT_LT(stream->streamStatus()->responseReadingTime(), timing.cancellationHonoured + 4);
  EXPECT_LT(stream->streamStatus()->responseBytesReaden(), raw.size());
  EXPECT_EQ(recorder->calls, std::vector<std::string>{"response 200"});
  stream->close();

  // Bytes of an earlier answer that keep trickling (for 100 s) hold the
  // drain before the request no longer than the drain's time.
  timing.drainNoData = 0.02;
  replugTrickling();
  printer->pushInput(0, bytes(endless()));
  const auto drained = std::chrono::steady_clock::now();
  stream = std::static_pointer_cast<DQUSBHTTPStream>(openStream("/silent"));
  ASSERT_TRUE(spinUntil([&] { return !responder->requests().empty(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - drained, std::chrono::duration<double>(timing.drainCompletion + 4));
}

TEST_F(USBHTTPStreamTest, TheResponseTimeoutBoundsEveryReadSoNoAnswerIsTakenAfterIt) {
  // The reads would wait 5 s for a byte; the head comes well before the
  // limit, the body well after it or never. Either way the exchange fails at
  // the limit.
  timing.readNoData = timing.readCompletion = 5, timing.responseTimeout = 1.5;
  provider->setStreamTiming(timing);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n";
  for (const bool bodyLate : {true, false}) {
    SCOPED_TRACE(bodyLate ? "body after the limit" : "head only");
    replug();
    responder = Responder::attach(printer, 0, [&, late = printer](const Responder::Request&) {
      const auto here = platform::RunLoop::current();
      here.performAfter(250ms, [late, &head] { late->pushInput(0, bytes(head)); });
      if (bodyLate) here.performAfter(3s, [late] { late->pushInput(0, bytes("late")); });
      return std::shared_ptr<HttpMessage>();
    });
    recorder->calls.clear();
    auto stream = std::static_pointer_cast<DQUSBHTTPStream>(openStream("/late"));
    ASSERT_TRUE(spinUntil([&] { return recorder->ended(); }));
    EXPECT_EQ(recorder->calls, (std::vector<std::string>{"response 200", "failure 4"}));
    EXPECT_GT(stream->streamStatus()->responseReadingTime(), timing.responseTimeout);
    EXPECT_LT(stream->streamStatus()->responseReadingTime(), timing.responseTimeout + 1);
    stream->close();
  }
}

TEST_F(USBHTTPStreamTest, InterimAnswersAndTrailersCountAgainstTheHeadBound) {
  // Endless interim answers, or an endless trailer: no answer, the exchange
  // fails as unparsable when their bytes pass the bound of a head.
  std::string interims;
  while (interims.size() <= platform::HttpResponseParser::kMaximumHeadLength) interims += "HTTP/1.1 100 Continue\r\n\r\n";
  const std::string done = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n";
  using Calls = std::vector<std::string>;
  // Over a thousand reads of 64 bytes: the response time-out is no limit here.
  timing.responseTimeout = 60;
  provider->setStreamTiming(timing);
  for (const auto& [answer, calls] : {std::pair{interims + done, Calls{"failure 3"}},
                                      {chunked + std::string(70 * 1024, 't') + "\r\n\r\n", {"response 200", "failure 3"}}}) {
    replug();  // without the rest of the last answer
    raw = answer;
    exchange(platform::HttpMessage::makeRequest("GET", url("/raw")));
    EXPECT_EQ(recorder->calls, calls);
    ASSERT_TRUE(recorder->failure && recorder->failure->underlyingError());
    EXPECT_TRUE(recorder->failure->underlyingError()->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kNotHTTP));
  }
}

TEST_F(USBHTTPStreamTest, TheRestOfACutAnswerIsDroppedByItsFramingBeforeTheNextAnswerIsTaken) {
  // A first answer framed by Content-Length, or in chunks (one with an
  // extension), whose exchange ended once its head and the body up to `cut`
  // came. The printer sends the rest just before its next answer (in
  // the same reads), or before the next request (the drain then reads it).
  const std::string sized = text(Responder::encode(*answer(200, "cut short."), 0, false));
  const std::string chunked =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nfirs\r\n6;x=y\r\nt, cut\r\n0\r\n\r\n";
  // An empty read ends soon: the cut exchange has read all it gets then.
  timing.readNoData = 0.002;
  provider->setStreamTiming(timing);
  for (const std::string& first : {sized, chunked}) {
    for (std::size_t cut = first.find("\r\n\r\n") + 4; cut < first.size(); ++cut) {
      cutAfter(first.substr(0, cut));
      if (cut % 2) {
        printer->pushInput(0, bytes(first.substr(cut)));
      } else {
        before = first.substr(cut);
      }
      ASSERT_TRUE(get("/doc")) << cut;
      ASSERT_EQ(text(consumer->responseData()), body) << first.substr(cut);
    }
  }

  // A printer that dropped the rest of an answer cut before a chunk-size
  // line, or right after a chunk's data: its next answer's status line is
  // neither a size line nor the line end after the data; it ends the rest
  // there and is taken whole.
  for (const auto cut : {chunked.find("6;"), chunked.find("\r\n6;")}) {
    cutAfter(chunked.substr(0, cut));
    ASSERT_TRUE(get("/doc")) << cut;
    EXPECT_EQ(text(consumer->responseData()), body) << cut;
  }
}

TEST_F(USBHTTPStreamTest, ARestThatNeverComesWholeCostsAtMostTheNextExchange) {
  // Answers cut once their head and a few body bytes came: 100000 bytes
  // framed by Content-Length of which 5 came, or a 1 KiB chunk of which 100
  // came. What the printer does next: it drops the rest and answers the next
  // requests (at once, or a byte at a time), sends part of the rest first,
  // sends part of it and stays silent to the next request, or sends all of
  // it late, before or after the next request came.
  const std::string sized = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n12345";
  const std::string chunked =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n400\r\n" + std::string(100, 'c');
  enum class Next { Dropped, Trickled, PartThenAnswer, PartThenSilence, AllBeforeRequest, AllAfterRequest };
  timing.readNoData = 0.002;  // the cut exchange has read all it gets at its first empty read
  for (const bool isSized : {true, false}) {
    const std::string& first = isSized ? sized : chunked;
    const std::string rest = isSized ? std::string(99995, 'd') : std::string(924, 'c') + "\r\n0\r\n\r\n";
    for (const Next next : {Next::Dropped, Next::Trickled, Next::PartThenAnswer, Next::PartThenSilence,
                            Next::AllBeforeRequest, Next::AllAfterRequest}) {
      SCOPED_TRACE(std::string(isSized ? "sized " : "chunked ") + std::to_string(static_cast<int>(next)));
      replug();
      // Time enough to drop a whole rest of 100000 bytes that comes late.
      timing.responseTimeout = next == Next::PartThenSilence ? 0.4 : 10;
      provider->setStreamTiming(timing);
      CapturedLog log;
      cutAfter(first);
      if (next == Next::Trickled) printer->setDripDelay(1ms, 1);
      if (next == Next::PartThenAnswer || next == Next::PartThenSilence) before = rest.substr(0, 20);
      if (next == Next::AllBeforeRequest) printer->pushInput(0, bytes(rest));
      if (next == Next::AllAfterRequest) before = rest;

      if (next == Next::PartThenSilence) {
        recorder->calls.clear();
        auto stream = openStream("/silent");
        ASSERT_TRUE(spinUntil([&] { return recorder->ended(); }));
        stream->close();
        EXPECT_EQ(recorder->calls, std::vector<std::string>{"failure 4"});
        EXPECT_NE(recorder->failure->description().find("previous answer was cut"), std::string::npos)
            << recorder->failure->description();
      } else {
        ASSERT_TRUE(get("/doc"));
        EXPECT_EQ(text(consumer->responseData()), body);
      }
      // The exchange after takes its own answer.
      printer->setDripDelay({}, 0);
      ASSERT_TRUE(get("/doc"));
      EXPECT_EQ(text(consumer->responseData()), body);

      // One warning for a rest not all sent, naming the interface and what
      // of the rest never came.
      std::vector<std::string> warnings;
      for (const auto& [level, line] : log.lines()) {
        if (level == kDQLogLevelWarning && line.find("cut short") != std::string::npos) warnings.push_back(line);
      }
      if (next == Next::AllBeforeRequest || next == Next::AllAfterRequest) {
        EXPECT_TRUE(warnings.empty());
        continue;
      }
      const std::size_t sent = next == Next::PartThenAnswer || next == Next::PartThenSilence ? 20 : 0;
      const std::string missing = isSized ? std::to_string(99995 - sent) : "at least " + std::to_string(931 - sent);
      const std::string place = "interface 0 of printer SN0001 (bus 1, address " + std::to_string(nextAddress - 1) + ")";
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_NE(warnings[0].find(place), std::string::npos) << warnings[0];
      EXPECT_NE(warnings[0].find(": " + missing + " bytes of it never came"), std::string::npos) << warnings[0];
    }
  }

  // An exchange cancelled before its request went out could get no answer:
  // the rest stays owed to the next one, which drops it when it comes late.
  replug();
  provider->setStreamTiming(timing);
  cutAfter("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\ncut");
  auto cancelled = openStream("/doc", [] { return true; });
  platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + 50ms);
  cancelled->close();
  EXPECT_EQ(responder->requests().size(), 1u);
  before = " short";
  ASSERT_TRUE(get("/doc"));
  EXPECT_EQ(text(consumer->responseData()), body);
}

TEST_F(USBHTTPStreamTest, AProviderMadeWithoutAHostSearchesAndOwesOnTheOneInstalledThen) {
  platform::UsbBackend::setShared(bus);
  provider = std::make_shared<DQUSBStreamProvider>(*platform::Url::fromString("nexausb://SN0001/"));
  platform::UsbBackend::setShared(nullptr);
  timing.readNoData = 0.002;  // the cut exchange has read all it gets at its first empty read
  provider->setStreamTiming(timing);
  cutAfter("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\ncut");
  // The rest comes just before the next answer, and is dropped.
  printer->pushInput(0, bytes(" short"));
  ASSERT_TRUE(get("/doc"));
  EXPECT_EQ(text(consumer->responseData()), body);
}

}  // namespace
