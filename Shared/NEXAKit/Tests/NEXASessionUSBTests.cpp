#include <gtest/gtest.h>

#include "DQHTTPStreamError.h"
#include "DQNEXAError.h"
#include "DQUSBStreamProvider.h"
#include "NEXATestSupport.h"
#include "Simulation/Usb/VirtualPrinterHttpResponder.h"
#include "Text/Base64.h"
#include "USBTestSupport.h"
#include "Usb/UsbBackend.h"

using namespace platform;
using namespace nexatest;
using Responder = VirtualPrinterHttpResponder;

namespace {

// The simulated printer of the host layer as the process's USB host, its
// NEXA interface answering with the same documents as the loopback printer.
class NEXAUSBSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::redirectUSBTrace();
    printer = std::make_shared<VirtualPrinter>(testsupport::zarnPrinter());
    bus->plug(printer, SimUsbBus::key(2, 1));
    responder = Responder::attach(printer, 0, [this](const Responder::Request& request) { return handle(request); });
    UsbBackend::setShared(bus);
  }
  void TearDown() override { UsbBackend::setShared(nullptr); }

  // The printer unplugged with what it still had to send, and a fresh one
  // plugged in its place (at a new address, as the host gives it),
  // answering as before.
  void replug() {
    bus->unplug(printer);
    printer = std::make_shared<VirtualPrinter>(testsupport::zarnPrinter());
    bus->plug(printer, SimUsbBus::key(nextAddress++, 1));
    responder = Responder::attach(printer, 0, [this](const Responder::Request& request) { return handle(request); });
  }

  // Whether the printer was handed a piece of a request: on a printer
  // plugged since the last exchange, once that exchange's write began.
  bool writeBegan() const { return printer->lastTimeout(0x01) != UsbMillis(0); }

  // A session of the USB printer with `name` registered for `path`,
  // resolved, its exchanges timed by `timing`; none when it did not resolve.
  std::shared_ptr<DQNEXASession> resolvedSession(const std::string& name, const std::string& path,
                                                 const DQUSBStreamTiming& timing) {
    auto session = DQNEXASession::make(Url::fromString("nexausb://SN0001/"), std::nullopt, nullptr);
    registerPolled(*session, name, path, 0.05);
    ResolveAnswer resolved;
    session->schedulePrinterResolve(resolved.block());
    if (!resolved.wait()) return nullptr;
    auto provider = std::dynamic_pointer_cast<DQUSBStreamProvider>(session->printerResolvingContext()->streamProvider());
    if (!provider) return nullptr;
    provider->setStreamTiming(timing);
    return session;
  }

  std::shared_ptr<HttpMessage> handle(const Responder::Request& request) {
    auto answer = [](int status, const std::string& body) {
      auto response = HttpMessage::makeResponse(status, status == 200 ? "OK" : "Unauthorized");
      response->setBody(testsupport::bytes(body));
      return response;
    };
    if (!late.empty()) printer->pushInput(0, testsupport::bytes(std::exchange(late, {})));
    if (request.target == "/DevMgmt/Late.xml") {
      // The head comes at once, the body with the printer's next answer.
      late = "<late>" + std::to_string(++lateAnswers) + "</late>";
      printer->pushInput(0, testsupport::bytes("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(late.size()) +
                                               "\r\n\r\n"));
      return nullptr;
    }
    if (request.target == "/DevMgmt/Cut.xml") {
      // The head and 5 bytes of the body; the rest never comes.
      printer->pushInput(0, testsupport::bytes("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n12345"));
      return nullptr;
    }
    if (request.target == "/DevMgmt/DiscoveryTree.xml") return answer(200, kTree);
    if (request.target == "/DevMgmt/Silent.xml") return nullptr;
    if (request.target == "/DevMgmt/Stalled.xml") {
      printer->stallEndpoint(0x81, 100);  // every read of the answer fails
      return nullptr;
    }
    if (request.target == "/DevMgmt/Trickle.xml") {
      const std::string body(3000, 't');
      printer->pushInput(0, testsupport::bytes("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + body));
      return nullptr;
    }
    if (request.target == "/Busy") {
      // Found again for the next pass, the printer names no NEXA interface:
      // its device IDs cannot be read any more.
      printer->setRequestFilter([](const UsbControlSetup& setup) -> UsbReturn {
        const bool deviceID = setup.requestType == 0xA1 && setup.request == 0;
        return deviceID ? usbreturn::kPipeStalled : usbreturn::kSuccess;
      });
      return answer(202, "");
    }
    if (request.field("Authorization") != "Basic " + Base64::encode(std::string_view("admin:secret"))) {
      auto refused = answer(401, "");
      refused->setHeaderField("WWW-Authenticate", "Basic realm=\"Printer\"");
      return refused;
    }
    if (request.method == "PUT") return answer(200, "");
    if (request.target == "/DevMgmt/ProductConfigDyn.xml") return answer(200, kConfig);
    return answer(404, "");
  }

  std::shared_ptr<SimUsbBus> bus = std::make_shared<SimUsbBus>();
  std::shared_ptr<VirtualPrinter> printer;
  std::shared_ptr<Responder> responder;
  std::uint8_t nextAddress = 3;  // where replug plugs the fresh printer
  std::string late;               // the body of the last "Late.xml" answer, still to come
  int lateAnswers = 0;
};

}  // namespace

TEST_F(NEXAUSBSessionTest, SerialNumberResolvesAndServesDependentRequestsAndUploads) {
  auto session = DQNEXASession::make(Url::fromString("nexausb://SN0001/"), std::nullopt,
                                     [](const std::shared_ptr<DQURLAuthenticationChallenge>& challenge, std::uint64_t) {
                                       challenge->completeChallengeWithUserName("admin", "secret");
                                     });
  registerTreeAndConfig(*session);
  ResolveAnswer resolved;
  session->schedulePrinterResolve(resolved.block());
  ASSERT_TRUE(resolved.wait());
  EXPECT_FALSE(resolved.error);
  EXPECT_EQ(resolved.info->objectForKey("ConnectionType").integerValue(), 1);
  EXPECT_EQ(resolved.info->objectForKey("USBSerialNumber").stringValue(), "SN0001");
  EXPECT_TRUE(std::dynamic_pointer_cast<DQUSBStreamProvider>(session->printerResolvingContext()->streamProvider()));

  const Answer config = runRequest(*session, "config");
  EXPECT_FALSE(config.error);
  expectConfig(config.result);

  EXPECT_FALSE(upload(*session, "<s>usb</s>").error);
  const auto requests = responder->requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().method, "PUT");
  EXPECT_EQ(testsupport::text(requests.back().body), "<s>usb</s>");
}

TEST_F(NEXAUSBSessionTest, PrinterFoundAgainWithoutNEXAInterfacesIsInaccessible) {
  auto session = DQNEXASession::make(Url::fromString("nexausb://SN0001/"), std::nullopt, nullptr);
  registerPolled(*session, "busy", "Busy", 0.05);
  const Answer busy = runRequest(*session, "busy");
  EXPECT_EQ(busy.code(), DQNEXAError::kInaccessible) << busy.error->description();
  EXPECT_EQ(responder->requests().size(), 2u);
}

TEST_F(NEXAUSBSessionTest, UnknownSerialNumberIsNotSupported) {
  auto session = DQNEXASession::make(Url::fromString("nexausb://NOPE/"), std::nullopt, nullptr);
  ResolveAnswer resolved;
  session->schedulePrinterResolve(resolved.block());
  ASSERT_TRUE(resolved.wait());
  ASSERT_TRUE(resolved.error);
  EXPECT_NE(session->printerResolvingState(), DQNEXASession::kResolved);
}

TEST_F(NEXAUSBSessionTest, CancellingOrReleasingTheSessionEndsAnExchangeWithATricklingSilentOrWedgedPrinterInTime) {
  DQUSBStreamTiming timing;
  timing.firstWriteDelay = 0.001, timing.drainNoData = 0.001, timing.readNoData = 5, timing.cancellationHonoured = 0.3;
  const auto patience = std::chrono::duration<double>(timing.cancellationHonoured + 2.5);
  // Trickle: one byte every 2 ms, the answer would take over 6 s. Silent: a
  // read waits 5 s for a byte. Wedged: the printer takes no request byte for
  // 5 s, each block's write would wait that long.
  struct Case {
    std::string path;
    bool wedged;
  };
  for (const auto& [path, wedged] : {Case{"DevMgmt/Trickle.xml", false}, Case{"DevMgmt/Silent.xml", false},
                                     Case{"DevMgmt/Silent.xml", true}}) {
    SCOPED_TRACE(path + (wedged ? " wedged" : ""));
    auto session = resolvedSession("slow", path, timing);
    ASSERT_TRUE(session);
    replug();  // so that its write is the first the printer sees
    // Each wait is measured from the moment the request reached the printer,
    // or, for a wedged one, from the moment its write began.
    const auto sent = [&](Answer& answer) {
      printer->setDripDelay(std::chrono::milliseconds(2), 1);
      if (wedged) printer->setWriteDelay(std::chrono::seconds(5));
      const std::size_t before = responder->requests().size();
      session->scheduleRequestRegisteredWithName("slow", answer.block());
      return pumpMain([&] { return wedged ? writeBegan() : responder->requests().size() > before; });
    };

    Answer cancelled;
    ASSERT_TRUE(sent(cancelled));
    auto start = std::chrono::steady_clock::now();
    session->cancelAllRequests(false);
    ASSERT_TRUE(pumpMain([&] { return !printer->isClaimed(0); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, patience);
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(cancelled.calls, 0);

    replug();  // without the rest of the answer
    Answer released;
    ASSERT_TRUE(sent(released));
    // A wedged write is released after it waited its time: it ends at once.
    if (wedged) pumpFor(std::chrono::milliseconds(400));
    start = std::chrono::steady_clock::now();
    session.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, patience);
    EXPECT_FALSE(printer->isClaimed(0));
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(released.calls, 0);
    if (wedged) {
      EXPECT_TRUE(responder->requests().empty());  // no request byte was taken
    }
    replug();
  }
}

TEST_F(NEXAUSBSessionTest, ACancelledExchangeEndsItsTimeAfterItsWriteBeganHoweverItIsSpentBetweenWriteAndReading) {
  DQUSBStreamTiming timing;
  timing.firstWriteDelay = 0.001, timing.drainNoData = 0.001, timing.readNoData = 8, timing.cancellationHonoured = 3;
  auto session = resolvedSession("slow", "DevMgmt/Silent.xml", timing);
  ASSERT_TRUE(session);
  replug();  // so that its write is the first the printer sees
  // The printer takes the request a second before the cancellation may come
  // in, then stays silent: the reading gets only what is left of that time,
  // not a time of its own (the exchange would then end 2 s later).
  printer->setWriteDelay(std::chrono::seconds(2));
  Answer cancelled;
  session->scheduleRequestRegisteredWithName("slow", cancelled.block());
  ASSERT_TRUE(pumpMain([&] { return writeBegan(); }));
  const auto start = std::chrono::steady_clock::now();
  session->cancelAllRequests(false);
  ASSERT_TRUE(pumpMain([&] { return !printer->isClaimed(0); }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(responder->requests().size(), 1u);
  pumpFor(std::chrono::milliseconds(50));
  EXPECT_EQ(cancelled.calls, 0);
}

TEST_F(NEXAUSBSessionTest, ACancelOrReleaseWhileStaleBytesAreDrainedWritesNothingAndWaitsNoLongerThanTheDrain) {
  // The printer still trickles the rest of an earlier answer, a byte a
  // millisecond, for far longer than the drain before the request reads it
  // (3 s, far longer than the first write waits).
  DQUSBStreamTiming timing;
  timing.drainCompletion = 3;
  for (const bool release : {false, true}) {
    SCOPED_TRACE(release ? "released" : "cancelled");
    auto session = resolvedSession("slow", "DevMgmt/Silent.xml", timing);
    ASSERT_TRUE(session);
    printer->setDripDelay(std::chrono::milliseconds(1), 1);
    printer->pushInput(0, testsupport::bytes(std::string(100000, 's')));
    const std::size_t written = printer->bytesWritten(0);
    Answer answer;
    session->scheduleRequestRegisteredWithName("slow", answer.block());
    ASSERT_TRUE(pumpMain([&] { return printer->isClaimed(0); }));
    pumpFor(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    if (release) {
      session.reset();
    } else {
      session->cancelAllRequests(false);
    }
    ASSERT_TRUE(pumpMain([&] { return !printer->isClaimed(0); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::duration<double>(timing.drainCompletion));
    EXPECT_EQ(printer->bytesWritten(0), written);  // not a byte of the request
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(answer.calls, 0);
    replug();
  }
}

TEST_F(NEXAUSBSessionTest, ADueCancellationCutsThePauseAfterAFailedReadAndThePauseBetweenEmptyReads) {
  // Each pause of the reading lasts 6 s, far past the time that lets a
  // cancellation in (0.25 s from the start of the write).
  DQUSBStreamTiming timing;
  timing.firstWriteDelay = 0.001, timing.drainNoData = 0.001, timing.cancellationHonoured = 0.25;
  timing.retryInterval = 6, timing.pollInterval = 6;
  const auto patience = std::chrono::seconds(3);
  enum class Reading { Stalled, Unplugged, Polling };
  for (const Reading reading : {Reading::Stalled, Reading::Unplugged, Reading::Polling}) {
    SCOPED_TRACE(static_cast<int>(reading));
    // Unplugged: a read waits for the printer until it goes. Polling: a read
    // of the silent printer ends empty at once, and the next waits its pause.
    timing.readNoData = reading == Reading::Polling ? 0.02 : 5;
    auto session = resolvedSession("slow", reading == Reading::Stalled ? "DevMgmt/Stalled.xml" : "DevMgmt/Silent.xml",
                                   timing);
    ASSERT_TRUE(session);
    const auto claimed = printer;
    const std::size_t before = responder->requests().size();
    Answer cancelled;
    session->scheduleRequestRegisteredWithName("slow", cancelled.block());
    ASSERT_TRUE(pumpMain([&] { return responder->requests().size() > before; }));
    if (reading == Reading::Unplugged) bus->unplug(printer);
    // A late cancellation, well after its time came, during the pause.
    if (reading == Reading::Polling) pumpFor(std::chrono::milliseconds(500));
    const auto start = std::chrono::steady_clock::now();
    session->cancelAllRequests(false);
    ASSERT_TRUE(pumpMain([&] { return !claimed->isClaimed(0); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, patience);
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(cancelled.calls, 0);
    session.reset();
    replug();
  }
}

TEST_F(NEXAUSBSessionTest, AnAnswerCutByTheResponseTimeoutIsDroppedByTheRetriesAndTheNextRequest) {
  // Each answer's head comes at once, and its body only after the response
  // time-out (with the printer's next answer) or never (5 of 100000 bytes
  // come): every try fails with code 4, however its predecessor's body
  // comes, and each request after is answered at its first try.
  DQUSBStreamTiming timing;
  timing.firstWriteDelay = 0.001, timing.drainNoData = 0.001, timing.readNoData = 0.05, timing.pollInterval = 0.01;
  timing.responseTimeout = 0.8;
  for (const std::string path : {"DevMgmt/Late.xml", "DevMgmt/Cut.xml"}) {
    SCOPED_TRACE(path);
    auto session = resolvedSession("cut", path, timing);
    ASSERT_TRUE(session);
    // Not cached: each request goes to the printer.
    ASSERT_TRUE(session->registerDataRetrievingRequest("tree", "DevMgmt/DiscoveryTree.xml",
                                                       TestTreeDocument::resultClass(), 3, false));
    const std::size_t before = responder->requests().size();
    const Answer cut = runRequest(*session, "cut");
    ASSERT_EQ(cut.code(), DQNEXAError::kResultNotBuilt);
    ASSERT_TRUE(cut.error->underlyingError());
    EXPECT_TRUE(cut.error->underlyingError()->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kTimedOut));
    EXPECT_EQ(responder->requests().size(), before + 3);

    for (int round = 0; round < 2; ++round) {
      const std::size_t sent = responder->requests().size();
      const Answer tree = runRequest(*session, "tree");
      EXPECT_FALSE(tree.error) << tree.error->description();
      EXPECT_TRUE(std::dynamic_pointer_cast<DQXMLDocument>(tree.result));
      EXPECT_EQ(responder->requests().size(), sent + 1);
    }
  }
  EXPECT_EQ(lateAnswers, 3);
}
