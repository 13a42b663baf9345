// The libusb back end against a virtual printer served through umockdev.
// Runs under libumockdev-preload.so.0 (umockdev-wrapper); see CMakeLists.txt.

#include <glib.h>
#include <gtest/gtest.h>
#include <umockdev.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DQUSBConstatns.h"
#include "DQUSBDevice.h"
#include "DQUSBInterfaceError.h"
#include "DQURLDataAccumulationConsumer.h"
#include "DQUSBDevicesSearcher.h"
#include "DQUSBPipe.h"
#include "DQUSBStreamProvider.h"
#include "Simulation/Usb/VirtualPrinterHttpResponder.h"
#include "TestSupport.h"
#include "USBTestSupport.h"
#include "RunLoop/RunLoopThread.h"
#include "Usb/LibusbBackend.h"
#include "UmockdevBus.h"
#include "UsbfsAdapter.h"

using platform::VirtualPrinter;
using namespace testsupport;

namespace {

// The bus, made before libusb starts: its printer on port 4 has a kernel
// driver bound to interface 0.
UmockdevBus& bus() {
  static UmockdevBus* made = [] {
    auto description = zarnPrinter();
    description.interfaces[0].kernelDriver = true;
    return new UmockdevBus(description);
  }();
  return *made;
}

// The printer on port 4 as discovery reports it through libusb.
std::shared_ptr<DQUSBDevice> discoveredPrinter() {
  Recorder recorder;
  auto searcher = std::make_shared<DQUSBDevicesSearcher>();
  searcher->setDelegate(&recorder);
  EXPECT_TRUE(searcher->startInRunLoop(platform::RunLoop::current(), nullptr, nullptr));
  searcher->stop();
  return recorder.found.empty() ? nullptr : recorder.found.front();
}

TEST(LibusbBackendTest, DiscoveryReportsPresentPrintersInsideStartThenArrivalsAndRemovals) {
  Recorder recorder;
  auto searcher = std::make_shared<DQUSBDevicesSearcher>();
  searcher->setDelegate(&recorder);
  ASSERT_TRUE(searcher->startInRunLoop(platform::RunLoop::current(), nullptr, nullptr));
  ASSERT_EQ(recorder.found.size(), 1u);
  EXPECT_EQ(recorder.found[0]->locationID(), 0x01400000u);

  auto second = std::make_shared<VirtualPrinter>(zarnPrinter());
  UsbfsAdapter adapter(bus().testbed(), second, 3, 5);
  adapter.plug();
  ASSERT_TRUE(spinUntil([&] { return recorder.found.size() == 2; }));
  EXPECT_EQ(recorder.found[1]->locationID(), 0x01500000u);
  adapter.unplug();
  ASSERT_TRUE(spinUntil([&] { return recorder.lost.size() == 1; }));
  EXPECT_TRUE(recorder.found[1]->matchesService(recorder.lost[0]));
  searcher->stop();
}

TEST(LibusbBackendTest, SnapshotReadsStringsDeviceIDsAndTheInfoDescriptorThroughControlTransfers) {
  auto printer = discoveredPrinter();
  ASSERT_TRUE(printer);
  EXPECT_EQ(printer->productName(), "Virtual Printer 100");
  EXPECT_EQ(printer->serialNumber(), "SN0001");
  EXPECT_EQ(printer->deviceIDStrings(),
            (std::vector<std::string>{"MFG:Zarn;MDL:Virtual 100;DES:Office printer;SN:SN0001;",
                                      "MFG:Zarn;MDL:Virtual 100 IPP;CID:ZARN-1;NEXADIS:USB#07#01#04;"}));
  EXPECT_TRUE(printer->isScanCapable());
  ASSERT_TRUE(printer->deviceInfo()->deviceInfoDescriptor());
  EXPECT_EQ(printer->deviceInfo()->stringDescriptors().at(4), "1.0,1.1,2.0");
}

TEST(LibusbBackendTest, BulkExchangeDetachesTheKernelDriverForItsTime) {
  auto printer = discoveredPrinter();
  ASSERT_TRUE(printer);
  auto& model = *bus().printer();
  model.setOutputHandler(0, [&model](std::span<const std::uint8_t> request) {
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(request.size()) + "\r\n\r\n";
    model.pushInput(0, std::span(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()));
    model.pushInput(0, request);
  });
  ASSERT_TRUE(model.kernelDriverBound(0));
  auto interface = printer->interfaceForDescriptor(printer->deviceInfo()->descriptorForClass(7, 1, 4));
  ASSERT_TRUE(interface);
  DQUSBPipe pipe(interface);
  ASSERT_TRUE(pipe.open(nullptr));
  EXPECT_FALSE(model.kernelDriverBound(0));
  EXPECT_EQ(model.currentAlternate(0), 1);

  const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
  ASSERT_TRUE(pipe.writeBuffer(reinterpret_cast<const std::uint8_t*>(request.data()), request.size(), nullptr));
  const std::string expected = "HTTP/1.1 200 OK\r\nContent-Length: 35\r\n\r\n" + request;
  std::vector<std::uint8_t> buffer(512);
  std::string response;
  platform::ErrorPtr error;
  while (response.size() < expected.size()) {
    const std::size_t count = pipe.readToBuffer(buffer.data(), buffer.size(), 1.0, 1.0, &error);
    ASSERT_FALSE(error);
    if (count == 0) break;
    response.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
  }
  EXPECT_EQ(response, expected);

  // Nothing more to read: the transfer times out (cancelled by libusb) and
  // answers no bytes and no error; an asynchronous read gets the next bytes.
  EXPECT_EQ(pipe.readToBuffer(buffer.data(), buffer.size(), 0.1, 0.1, &error), 0u);
  EXPECT_FALSE(error);
  ASSERT_TRUE(pipe.scheduleInRunLoop(platform::RunLoop::current()));
  std::string later;
  ASSERT_TRUE(pipe.readToBuffer(64, nullptr, [&](const platform::ErrorPtr&, std::size_t, auto bytes) {
    later.assign(bytes.begin(), bytes.end());
  }));
  model.pushInput(0, std::span(reinterpret_cast<const std::uint8_t*>("late"), 4));
  ASSERT_TRUE(spinUntil([&] { return !later.empty(); }));
  EXPECT_EQ(later, "late");

  pipe.close();
  EXPECT_TRUE(model.kernelDriverBound(0));
  EXPECT_EQ(model.currentAlternate(0), 0);
}

TEST(LibusbBackendTest, HTTPExchangeWithAChunkedAnswerThroughTheUSBStream) {
  using Responder = platform::VirtualPrinterHttpResponder;
  auto responder = Responder::attach(bus().printer(), 0, [](const Responder::Request& request) {
    auto response = platform::HttpMessage::makeResponse(200, "OK");
    response->setBody(bytes("answer to " + request.target + std::string(1500, '.')));
    return response;
  });
  responder->setChunkSize(100);
  auto provider = std::make_shared<DQUSBStreamProvider>(*platform::Url::fromString("nexausb://SN0001/"));
  provider->startResolving();
  ASSERT_TRUE(provider->isResolved());
  auto consumer = DQURLDataAccumulationConsumer::make();
  auto connection = DQURLConnection::connectionWithGETRequest(*platform::Url::fromString("nexausb://SN0001/status"),
                                                              provider, consumer);
  ASSERT_TRUE(load(*connection));
  EXPECT_EQ(consumer->responseStatusCode(), 200);
  EXPECT_EQ(text(consumer->responseData()), "answer to /status" + std::string(1500, '.'));
  EXPECT_FALSE(provider->device()->isConnected());  // the close disconnected the device object
  EXPECT_TRUE(bus().printer()->kernelDriverBound(0));
}


TEST(LibusbBackendTest, ARemovalEndsAReadInFlightAndTheHandleStillCloses) {
  Recorder recorder;
  auto searcher = std::make_shared<DQUSBDevicesSearcher>();
  searcher->setDelegate(&recorder);
  ASSERT_TRUE(searcher->startInRunLoop(platform::RunLoop::current(), nullptr, nullptr));
  auto model = std::make_shared<VirtualPrinter>(zarnPrinter());
  UsbfsAdapter adapter(bus().testbed(), model, 4, 6);
  adapter.plug();
  ASSERT_TRUE(spinUntil([&] { return recorder.found.size() == 2; }));
  auto printer = recorder.found[1];
  ASSERT_EQ(printer->locationID(), 0x01600000u);
  auto interface = printer->interfaceForDescriptor(printer->deviceInfo()->descriptorForClass(7, 1, 4));
  ASSERT_TRUE(interface);
  DQUSBPipe pipe(interface);
  ASSERT_TRUE(pipe.open(nullptr));
  ASSERT_TRUE(pipe.scheduleInRunLoop(platform::RunLoop::current()));
  bool ended = false;
  platform::ErrorPtr readError;
  ASSERT_TRUE(pipe.readToBuffer(64, nullptr, [&](const platform::ErrorPtr& error, std::size_t, auto) {
    readError = error;
    ended = true;
  }));

  adapter.unplug();
  ASSERT_TRUE(spinUntil([&] { return ended && recorder.lost.size() == 1; }));
  ASSERT_TRUE(readError);
  EXPECT_TRUE(readError->is(DQUSBInterfaceError::domain(), DQUSBInterfaceError::kNoDevice));
  EXPECT_TRUE(printer->matchesService(recorder.lost[0]));
  platform::ErrorPtr writeError;
  EXPECT_FALSE(pipe.writeBuffer(reinterpret_cast<const std::uint8_t*>("x"), 1, &writeError));
  ASSERT_TRUE(writeError);
  EXPECT_TRUE(writeError->is(DQUSBInterfaceError::domain(), DQUSBInterfaceError::kNoDevice));
  pipe.close();  // releases and closes the handle of a device that is gone
  searcher->stop();
}

TEST(LibusbBackendTest, AStallOnBulkINFailsTheReadUntilTheHaltIsCleared) {
  auto printer = discoveredPrinter();
  ASSERT_TRUE(printer);
  auto& model = *bus().printer();
  auto interface = printer->interfaceForDescriptor(printer->deviceInfo()->descriptorForClass(7, 1, 4));
  ASSERT_TRUE(interface);
  DQUSBPipe pipe(interface);
  ASSERT_TRUE(pipe.open(nullptr));
  model.stallEndpoint(0x81, 1);
  model.pushInput(0, std::span(reinterpret_cast<const std::uint8_t*>("after"), 5));
  std::vector<std::uint8_t> buffer(64);
  platform::ErrorPtr error;
  EXPECT_EQ(pipe.readToBuffer(buffer.data(), buffer.size(), 1.0, 1.0, &error), 0u);
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(DQUSBInterfaceError::domain(), DQUSBInterfaceError::kOther));
  EXPECT_TRUE(interface->isPipeStalled(1) || interface->isPipeStalled(2));

  // Opened again, the pipe clears the halt at both ends and reads on.
  pipe.close();
  ASSERT_TRUE(pipe.open(nullptr));
  EXPECT_FALSE(interface->isPipeStalled(1) || interface->isPipeStalled(2));
  error.reset();
  const std::size_t count = pipe.readToBuffer(buffer.data(), buffer.size(), 1.0, 1.0, &error);
  EXPECT_FALSE(error);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count)), "after");
  pipe.close();
}

TEST(LibusbBackendTest, AWriteEndedByItsStopConditionIsCancelledInLibusbAndThePipeWritesOn) {
  auto printer = discoveredPrinter();
  ASSERT_TRUE(printer);
  auto& model = *bus().printer();
  model.setOutputHandler(0, [](std::span<const std::uint8_t>) {});
  auto interface = printer->interfaceForDescriptor(printer->deviceInfo()->descriptorForClass(7, 1, 4));
  ASSERT_TRUE(interface);
  DQUSBPipe pipe(interface);
  ASSERT_TRUE(pipe.open(nullptr));
  const std::string request(700, 'w');  // two packets
  const auto* data = reinterpret_cast<const std::uint8_t*>(request.data());
  const std::size_t before = model.bytesWritten(0);

  // The printer takes no byte for 30 s; the stop comes after 100 ms, when a
  // block performed on this thread turns the run loop.
  model.setWriteDelay(std::chrono::seconds(30));
  const auto start = std::chrono::steady_clock::now();
  bool stop = false;
  platform::RunLoop::current().performAfter(std::chrono::milliseconds(100), [&stop] { stop = true; });
  platform::ErrorPtr error;
  std::size_t written = 0;
  EXPECT_FALSE(pipe.writeBuffer(data, request.size(), &error, written, [&stop] { return stop; }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(DQUSBInterfaceError::domain(), DQUSBInterfaceError::kAborted));
  EXPECT_EQ(written, 0u);

  // libusb let the cancelled transfer go: the next write goes out whole.
  model.setWriteDelay({});
  EXPECT_TRUE(pipe.writeBuffer(data, request.size(), nullptr));
  EXPECT_EQ(model.bytesWritten(0), before + request.size());
  pipe.close();
}

// Watches made and dropped while a device keeps coming and going: libusb may
// be inside a callback of a watch whose registration is being destroyed.
// That callback must neither touch freed memory (ASan) nor reach a handler
// after its registration went.
TEST(LibusbBackendTest, WatchesDroppedWhileDevicesComeAndGoHearNothingMore) {
  auto model = std::make_shared<VirtualPrinter>(zarnPrinter());
  UsbfsAdapter adapter(bus().testbed(), model, 5, 7);
  adapter.plug();
  auto backend = platform::UsbBackend::shared();
  auto watch = [&](platform::UsbBackend::EventHandler handler, std::unique_ptr<platform::UsbBackend::Registration>& to) {
    std::vector<std::shared_ptr<platform::UsbDeviceRef>> present;
    auto step = platform::UsbBackend::WatchStep::kHost;
    return backend->watch(DQUSBConstatns::ZarnVendorID(), platform::RunLoop::current(), std::move(handler), present,
                          to, step) == platform::usbreturn::kSuccess;
  };
  // A watch that stays, on a thread of its own, paces the events: umockdev's
  // uevent socket holds only so many that libusb has not read yet.
  platform::RunLoopThread pacerThread("usb-pacer");
  auto onPacerThread = [&](const std::function<void()>& block) {
    std::promise<void> done;
    pacerThread.runLoop().perform([&] {
      block();
      done.set_value();
    });
    done.get_future().wait();
  };
  std::atomic<int> passedOn{0};
  std::unique_ptr<platform::UsbBackend::Registration> pacer;
  onPacerThread([&] { watch([&](const platform::UsbBackend::Event&) { ++passedOn; }, pacer); });
  ASSERT_TRUE(pacer);
  std::atomic<bool> toggling{true};
  std::thread toggler([&] {
    for (int i = 0; toggling && i < 8000; ++i) {
      const int before = passedOn;
      umockdev_testbed_uevent(bus().testbed(), "/sys/devices/usb1/1-7", i % 2 == 0 ? "remove" : "add");
      for (int wait = 0; toggling && passedOn == before && wait < 200; ++wait)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    umockdev_testbed_uevent(bus().testbed(), "/sys/devices/usb1/1-7", "remove");
  });
  int late = 0;
  int heard = 0;
  for (int round = 0; round < 400; ++round) {
    auto alive = std::make_shared<bool>(true);
    std::unique_ptr<platform::UsbBackend::Registration> registration;
    const bool watching =
        watch([alive, &late, &heard](const platform::UsbBackend::Event&) { *alive ? ++heard : ++late; }, registration);
    EXPECT_TRUE(watching);
    if (!watching) break;
    platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(round % 3));
    registration.reset();
    *alive = false;
    platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
  }
  toggling = false;
  toggler.join();
  onPacerThread([&] { pacer.reset(); });
  bool drained = false;
  platform::RunLoop::current().performAfter(std::chrono::milliseconds(50), [&] { drained = true; });
  ASSERT_TRUE(spinUntil([&] { return drained; }));
  EXPECT_EQ(late, 0);
  EXPECT_GT(heard, 0);
}

// Keeps libusb's thread inside the first hot-plug callback that comes once it
// is installed, until it is opened. A test holds one for its time; the state
// is the process's, since a callback may still be on its way out of the hook
// when the test ends.
class HeldCallback {
 public:
  HeldCallback() { install(); }
  ~HeldCallback() {
    open();
    platform::LibusbBackend::hotplugCallbackHook = nullptr;
  }

  static void install() { platform::LibusbBackend::hotplugCallbackHook = &hold; }
  // The thread held, once one is.
  static std::optional<std::thread::id> waitForHeld() {
    std::unique_lock lock(state().mutex);
    if (!state().changed.wait_for(lock, std::chrono::seconds(30), [] { return state().held.has_value(); }))
      return std::nullopt;
    return state().held;
  }
  static void open() {
    std::lock_guard lock(state().mutex);
    state().open = true;
    state().changed.notify_all();
  }
  // Answers whether the thread that was held has ended.
  static bool waitForHeldThreadEnd() {
    std::unique_lock lock(state().mutex);
    return state().changed.wait_for(lock, std::chrono::seconds(30), [] { return state().heldThreadEnded; });
  }

 private:
  struct State {
    std::mutex mutex;  // guards the fields below; the test and libusb's thread
    std::condition_variable changed;
    std::optional<std::thread::id> held;
    bool open = false;
    bool heldThreadEnded = false;
  };
  static State& state() {
    static auto* made = new State;
    return *made;
  }

  // Tells when the thread it belongs to ends.
  struct ThreadEnd {
    ~ThreadEnd() {
      std::lock_guard lock(state().mutex);
      state().heldThreadEnded = true;
      state().changed.notify_all();
    }
  };

  // On libusb's thread.
  static void hold() {
    std::unique_lock lock(state().mutex);
    if (state().held) return;
    thread_local ThreadEnd end;
    state().held = std::this_thread::get_id();
    state().changed.notify_all();
    state().changed.wait_for(lock, std::chrono::seconds(60), [] { return state().open; });
  }
};

// Hands over the thread its holder ends on.
struct EndWitness {
  std::promise<std::thread::id> ended;
  ~EndWitness() { ended.set_value(std::this_thread::get_id()); }
};

// The thread that finalizes the current run loop, from the destroy
// notification of a source that never fires.
std::future<std::thread::id> runLoopEnd() {
  auto* witness = new EndWitness;
  auto ended = witness->ended.get_future();
  GSource* source = g_timeout_source_new_seconds(24 * 3600);
  g_source_set_callback(
      source, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, witness,
      [](gpointer data) { delete static_cast<EndWitness*>(data); });
  g_source_attach(source, platform::RunLoop::current().context());
  g_source_unref(source);
  return ended;
}

// A thread lets its watch go and ends while libusb's thread is inside the
// watch's callback with the watch in hand: the thread's run loop and what the
// handler holds still end on the watching thread or on the thread that ended
// it, never on libusb's, where the run loop of the ended thread would be
// finalized with everything still queued in it.
TEST(LibusbBackendTest, AWatchLetGoDuringItsCallbackEndsOnTheWatchersSide) {
  const auto here = std::this_thread::get_id();
  auto model = std::make_shared<VirtualPrinter>(zarnPrinter());
  UsbfsAdapter adapter(bus().testbed(), model, 6, 8);
  HeldCallback held;
  std::thread::id watcher;
  std::future<std::thread::id> runLoopEnded;
  std::future<std::thread::id> capturesEnded;
  std::atomic<int> heard{0};
  std::unique_ptr<platform::UsbBackend::Registration> registration;
  std::optional<std::thread::id> libusbThread;
  {
    platform::RunLoopThread thread("watching");
    std::promise<bool> started;
    thread.runLoop().perform([&] {
      watcher = std::this_thread::get_id();
      runLoopEnded = runLoopEnd();
      auto witness = std::make_shared<EndWitness>();
      capturesEnded = witness->ended.get_future();
      std::vector<std::shared_ptr<platform::UsbDeviceRef>> present;
      auto step = platform::UsbBackend::WatchStep::kHost;
      started.set_value(platform::UsbBackend::shared()->watch(
                            DQUSBConstatns::ZarnVendorID(), platform::RunLoop::current(),
                            [witness, &heard](const platform::UsbBackend::Event&) { ++heard; }, present,
                            registration, step) == platform::usbreturn::kSuccess);
    });
    ASSERT_TRUE(started.get_future().get());
    adapter.plug();
    libusbThread = held.waitForHeld();
    thread.runLoop().perform([&] { registration.reset(); });
  }
  ASSERT_TRUE(libusbThread);
  // The watching thread ended; libusb's thread goes on.
  held.open();
  ASSERT_EQ(runLoopEnded.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_EQ(capturesEnded.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const auto runLoopEndedOn = runLoopEnded.get();
  const auto capturesEndedOn = capturesEnded.get();
  EXPECT_NE(runLoopEndedOn, *libusbThread);
  EXPECT_TRUE(runLoopEndedOn == watcher || runLoopEndedOn == here);
  EXPECT_NE(capturesEndedOn, *libusbThread);
  EXPECT_TRUE(capturesEndedOn == watcher || capturesEndedOn == here);
  EXPECT_EQ(heard, 0);
  adapter.unplug();
}

// Starts a watch, keeps libusb's thread inside its callback with the watch in
// hand, lets the watch go and ends the process. The process's reference to
// libusb's context goes at its end, before libusb's thread is let on: that
// thread then drops the last one inside the callback.
[[noreturn]] void endTheProcessDuringACallback() {
  // Registered before libusb's context is made, so called after the process
  // let go of it.
  std::atexit([] {
    HeldCallback::open();
    if (!HeldCallback::waitForHeldThreadEnd()) std::_Exit(3);
  });
  HeldCallback::install();
  static auto* adapter = new UsbfsAdapter(bus().testbed(), std::make_shared<VirtualPrinter>(zarnPrinter()), 6, 8);
  std::unique_ptr<platform::UsbBackend::Registration> registration;
  std::vector<std::shared_ptr<platform::UsbDeviceRef>> present;
  auto step = platform::UsbBackend::WatchStep::kHost;
  if (platform::UsbBackend::shared()->watch(DQUSBConstatns::ZarnVendorID(), platform::RunLoop::current(),
                                            [](const platform::UsbBackend::Event&) {}, present, registration,
                                            step) != platform::usbreturn::kSuccess)
    std::_Exit(2);
  present.clear();
  adapter->plug();
  if (!HeldCallback::waitForHeld()) std::_Exit(2);
  registration.reset();
  std::exit(0);
}

// A process that ends while libusb's thread is inside a hot-plug callback
// ends as it meant to: the thread cannot wait for its own end.
TEST(LibusbBackendDeathTest, AProcessEndingDuringAHotplugCallbackExitsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(endTheProcessDuringACallback(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  redirectUSBTrace();
  bus();
  return RUN_ALL_TESTS();
}
