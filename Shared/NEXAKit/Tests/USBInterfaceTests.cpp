#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "DQUSBDevice.h"
#include "DQUSBInterface.h"
#include "DQUSBInterfaceError.h"
#include "DQUSBPipe.h"
#include "DQUSBTraceFile.h"
#include "TestSupport.h"
#include "USBTestSupport.h"

using platform::SimUsbBus;
using platform::VirtualPrinter;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

class USBInterfaceTest : public ::testing::Test {
 protected:
  explicit USBInterfaceTest(VirtualPrinter::Description description = zarnPrinter()) {
    redirectUSBTrace();
    printer = std::make_shared<VirtualPrinter>(std::move(description));
    device = DQUSBDevice::deviceWithService(bus->plug(printer, SimUsbBus::key(2, 1)));
  }
  // The interface 0 object at `alternate` (1: IPP over USB).
  std::shared_ptr<DQUSBInterface> interface(std::uint8_t alternate = 1) {
    return device->interfaceForDescriptor(device->deviceInfo()->interfaceDescriptors()[alternate]);
  }
  void answer(const std::string& text) {
    printer->pushInput(0, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }

  std::shared_ptr<SimUsbBus> bus = std::make_shared<SimUsbBus>();
  std::shared_ptr<VirtualPrinter> printer;
  std::shared_ptr<DQUSBDevice> device;
};

TEST_F(USBInterfaceTest, OpenClaimsDetachesTheKernelDriverAndSwitchesTheAlternateUntilClose) {
  auto description = zarnPrinter();
  description.interfaces[0].kernelDriver = true;
  printer = std::make_shared<VirtualPrinter>(description);
  device = DQUSBDevice::deviceWithService(bus->plug(printer, SimUsbBus::key(3, 2)));
  auto ipp = interface(1);
  ASSERT_TRUE(ipp->open(nullptr));
  EXPECT_TRUE(printer->isClaimed(0));
  EXPECT_FALSE(printer->kernelDriverBound(0));
  EXPECT_EQ(printer->currentAlternate(0), 1);
  EXPECT_EQ(ipp->interfaceProtocol(), 4);
  ipp->close();
  EXPECT_FALSE(printer->isClaimed(0));
  EXPECT_TRUE(printer->kernelDriverBound(0));
  EXPECT_EQ(printer->currentAlternate(0), 0);
  EXPECT_EQ(printer->setInterfaceRequests(), 2);

  // Already at the alternate asked for: nothing is selected or restored.
  auto print = interface(0);
  ASSERT_TRUE(print->open(nullptr));
  print->close();
  EXPECT_EQ(printer->setInterfaceRequests(), 2);
}

TEST_F(USBInterfaceTest, AnInterfaceHeldByAnotherClientFailsWithCodeZeroUntilItIsFree) {
  printer->holdByOtherClient(0, VirtualPrinter::Clock::now() + 500ms);
  auto ipp = interface();
  platform::ErrorPtr error;
  EXPECT_FALSE(ipp->open(&error));
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(DQUSBInterfaceError::domain(), DQUSBInterfaceError::kExclusiveAccess));
  EXPECT_FALSE(ipp->isOpened());
  EXPECT_FALSE(printer->isClaimed(0));
  platform::RunLoop::current().runUntil(VirtualPrinter::Clock::now() + 550ms);
  EXPECT_TRUE(ipp->open(nullptr));
}

TEST_F(USBInterfaceTest, TimedReadsReturnWhatCameWithoutErrorAndUntimedReadsAreTracedAsSuch) {
  auto ipp = interface();
  ASSERT_TRUE(ipp->open(nullptr));
  std::uint8_t buffer[64];
  platform::ErrorPtr error;
  printer->setDripDelay(0ms);
  answer("0123456789");
  EXPECT_EQ(ipp->readFromPipe(2, buffer, sizeof buffer, 0.05, 1.0, &error), 10u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), "0123456789");
  EXPECT_EQ(ipp->readFromPipe(2, buffer, sizeof buffer, 0.05, 0.05, &error), 0u);
  EXPECT_FALSE(error);
  answer("abc");
  EXPECT_EQ(ipp->readFromPipe(2, buffer, sizeof buffer, 0, 0.05, &error), 3u);
  const std::string trace = readFile(DQUSBTraceFile::defaultPath());
  EXPECT_NE(trace.find("\n--- Read (0.05/1.00): Result:0, count: 10\n0123456789"), std::string::npos);
  EXPECT_NE(trace.find("\n--- Read (0.05/0.05): Result:timeout, count: 0\n"), std::string::npos);
  EXPECT_NE(trace.find("\n--- Read (w/t): Result:0, count: 3abc"), std::string::npos);

  // The host has one time-out per transfer: the shorter one asked for, and
  // for an untimed read or a write the limit, never none.
  const auto limit = std::chrono::milliseconds(60000);
  EXPECT_EQ(printer->lastTimeout(0x81), limit);
  answer("d");
  EXPECT_EQ(ipp->readFromPipe(2, buffer, sizeof buffer, 0.05, 1.0, &error), 1u);
  EXPECT_EQ(printer->lastTimeout(0x81), 50ms);
  answer("e");
  EXPECT_EQ(ipp->readFromPipe(2, buffer, sizeof buffer, 0.05, 0, &error), 1u);
  EXPECT_EQ(printer->lastTimeout(0x81), limit);
  EXPECT_TRUE(ipp->writeToPipe(1, buffer, 4, &error));
  EXPECT_EQ(printer->lastTimeout(0x01), limit);
}

TEST_F(USBInterfaceTest, PipeWritesGoOutInPacketsAndTheTraceHidesCredentials) {
  std::string received;
  printer->setOutputHandler(0, [&](std::span<const std::uint8_t> bytes) { received.append(bytes.begin(), bytes.end()); });
  auto ipp = interface();
  DQUSBPipe pipe(ipp);
  ASSERT_TRUE(pipe.open(nullptr));
  EXPECT_EQ(pipe.maxOutputSize(), 512u);
  const std::string request = "POST / HTTP/1.1\r\nAuthorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n" + std::string(942, 'b');
  ASSERT_EQ(request.size(), 1000u);
  EXPECT_TRUE(pipe.writeBuffer(reinterpret_cast<const std::uint8_t*>(request.data()), request.size(), nullptr));
  EXPECT_EQ(received, request);
  const std::string trace = readFile(DQUSBTraceFile::defaultPath());
  EXPECT_NE(trace.find("\n--- Write: Result:0, count: 512\nPOST / HTTP/1.1\r\nAuthorization: Basic <redacted>\r\n"),
            std::string::npos);
  EXPECT_NE(trace.find("\n--- Write: Result:0, count: 488\n"), std::string::npos);
  EXPECT_EQ(trace.find("dXNlcjpzZWNyZXQ="), std::string::npos);
  struct stat status {};
  ASSERT_EQ(stat(DQUSBTraceFile::defaultPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(USBTraceFileTest, RedactsAcrossItemsAndMovesAFullFileAside) {
  TemporaryDirectory folder;
  DQUSBTraceFile trace(folder.file("trace.log"), 64);
  trace.write("\nGET / HTTP/1.1\r\nauthoriz");
  trace.write("ation: Digest user=\"me\"\r\nHost: x\r\n");
  const std::string first = "\nGET / HTTP/1.1\r\nauthorization: Digest <redacted>\r\nHost: x\r\n";
  EXPECT_EQ(readFile(folder.file("trace.log")), first);
  trace.write("\nthe next item");
  EXPECT_EQ(readFile(folder.file("trace.log.1")), first);
  EXPECT_EQ(readFile(folder.file("trace.log")), "\nthe next item");
}

TEST_F(USBInterfaceTest, StallsAreReportedAsCodeTwoAndClearedWhenThePipeOpens) {
  auto ipp = interface();
  ASSERT_TRUE(ipp->open(nullptr));
  printer->stallEndpoint(0x81, 1);
  std::uint8_t buffer[16];
  platform::ErrorPtr error;
  EXPECT_EQ(ipp->readFromPipe(2, buffer, sizeof buffer, 0.5, 0.5, &error), 0u);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), DQUSBInterfaceError::kOther);
  EXPECT_TRUE(ipp->isPipeStalled(2));
  ipp->close();

  DQUSBPipe pipe(ipp);
  ASSERT_TRUE(pipe.open(nullptr));
  EXPECT_FALSE(ipp->isPipeStalled(2));
  answer("ok");
  EXPECT_EQ(pipe.readToBuffer(buffer, sizeof buffer, 0.5, 0.5, nullptr), 2u);
}

TEST_F(USBInterfaceTest, AsyncTransfersOneAtATimeAndNeverCalledAfterClose) {
  auto ipp = interface();
  DQUSBPipe pipe(ipp);
  ASSERT_TRUE(pipe.open(nullptr));
  ASSERT_TRUE(pipe.scheduleInRunLoop(platform::RunLoop::current()));
  std::string read;
  int reads = 0;
  auto keep = [&](const platform::ErrorPtr& error, std::size_t, std::span<const std::uint8_t> bytes) {
    ++reads;
    EXPECT_FALSE(error);
    read.assign(bytes.begin(), bytes.end());
  };
  ASSERT_TRUE(pipe.readToBuffer(100, nullptr, keep));
  platform::ErrorPtr error;
  EXPECT_FALSE(pipe.readToBuffer(100, &error, keep));
  EXPECT_TRUE(error && error->code() == DQUSBInterfaceError::kReadInProgress);
  answer("HTTP/1.1 200 OK\r\n");
  ASSERT_TRUE(spinUntil([&] { return reads == 1; }));
  EXPECT_EQ(read, "HTTP/1.1 200 OK\r\n");

  std::size_t written = 0;
  const std::uint8_t bytes[3] = {1, 2, 3};
  ASSERT_TRUE(pipe.writeBuffer(bytes, 3, nullptr, [&](const platform::ErrorPtr&, std::size_t count, auto) {
    written = count;
  }));
  EXPECT_FALSE(pipe.writeBuffer(bytes, 3, &error, nullptr));
  EXPECT_EQ(error->code(), DQUSBInterfaceError::kWriteInProgress);
  ASSERT_TRUE(spinUntil([&] { return written == 3; }));

  ASSERT_TRUE(pipe.readToBuffer(100, nullptr, keep));
  pipe.close();
  EXPECT_FALSE(ipp->isReading());
  bool drained = false;
  platform::RunLoop::current().perform([&] { drained = true; });
  ASSERT_TRUE(spinUntil([&] { return drained; }));
  EXPECT_EQ(reads, 1);
}

TEST_F(USBInterfaceTest, UnpluggingEndsEachKindOfTransferWithCodeFive) {
  auto ipp = interface();
  ASSERT_TRUE(ipp->open(nullptr));
  ipp->scheduleInRunLoop(platform::RunLoop::current());
  platform::ErrorPtr asyncError;
  ASSERT_TRUE(ipp->readFromPipe(2, 64, nullptr, [&](const platform::ErrorPtr& error, std::size_t, auto) {
    asyncError = error;
  }));
  platform::RunLoop::current().performAfter(50ms, [&] { bus->unplug(printer); });
  std::uint8_t buffer[8];
  platform::ErrorPtr error;
  EXPECT_EQ(ipp->readFromPipe(2, buffer, sizeof buffer, 5, 5, &error), 0u);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), DQUSBInterfaceError::kNoDevice);
  ASSERT_TRUE(spinUntil([&] { return asyncError != nullptr; }));
  EXPECT_EQ(asyncError->code(), DQUSBInterfaceError::kNoDevice);
  EXPECT_FALSE(ipp->writeToPipe(1, buffer, 8, &error));
  EXPECT_EQ(error->code(), DQUSBInterfaceError::kNoDevice);
  ipp->close();
  EXPECT_FALSE(interface());
  auto again = DQUSBInterface::interfaceWithService(device->service(), device->deviceInfo()->configurationDescriptor(), 0, 1);
  EXPECT_FALSE(again->open(&error));
  EXPECT_EQ(error->code(), DQUSBInterfaceError::kNoDevice);
}

TEST_F(USBInterfaceTest, ClosingDuringASynchronousReadEndsItAsAborted) {
  auto ipp = interface();
  ASSERT_TRUE(ipp->open(nullptr));
  std::weak_ptr<DQUSBInterface> weak = ipp;
  // A block performed while the read spins the run loop closes and drops the
  // interface; the read ends without touching what was freed.
  platform::RunLoop::current().performAfter(30ms, [&] {
    ipp->close();
    ipp.reset();
  });
  std::uint8_t buffer[8];
  platform::ErrorPtr error;
  auto reader = weak.lock();
  EXPECT_EQ(reader->readFromPipe(2, buffer, sizeof buffer, 5, 5, &error), 0u);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), DQUSBInterfaceError::kAborted);
  EXPECT_FALSE(printer->isClaimed(0));
}

TEST_F(USBInterfaceTest, AWriteInPacketsClosedAndDroppedBetweenTwoPacketsEndsAsAbortedAfterThem) {
  // Each packet ends a millisecond after it was sent, so the write spins the
  // run loop; once the printer took the third, a block closes the pipe and
  // drops the pipe and the interface.
  printer->setWriteDelay(1ms);
  auto ipp = interface();
  auto pipe = std::make_shared<DQUSBPipe>(ipp);
  ASSERT_TRUE(pipe->open(nullptr));
  performAfterPacket(*printer, 3, [&] {
    pipe->close();
    pipe.reset();
    ipp.reset();
  });
  const std::vector<std::uint8_t> data(10 * 512, 'w');
  platform::ErrorPtr error;
  std::size_t written = 0;
  DQUSBPipe* writer = pipe.get();
  EXPECT_FALSE(writer->writeBuffer(data.data(), data.size(), &error, written));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), DQUSBInterfaceError::kAborted);
  EXPECT_EQ(written, 3 * 512u);
  EXPECT_EQ(printer->bytesWritten(0), 3 * 512u);
  EXPECT_FALSE(pipe);
  EXPECT_FALSE(printer->isClaimed(0));
}

class USBPipeShapeTest : public USBInterfaceTest {
 protected:
  static VirtualPrinter::Description shaped() {
    auto description = zarnPrinter();
    description.interfaces[0].alternates[0].endpoints = {{0x81, 2, 512}};  // bulk in only
    description.interfaces[0].alternates[1].endpoints = {{0x01, 2, 0}, {0x81, 2, 512}};
    return description;
  }
  USBPipeShapeTest() : USBInterfaceTest(shaped()) {}
};

TEST_F(USBPipeShapeTest, APipeNeedsBothBulkEndpointsWithAPacketSize) {
  for (std::uint8_t alternate : {0, 1}) {
    auto candidate = interface(alternate);
    DQUSBPipe pipe(candidate);
    platform::ErrorPtr error = DQUSBInterfaceError::errorWithCode(2);
    EXPECT_FALSE(pipe.open(&error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(candidate->isOpened());
    EXPECT_FALSE(printer->isClaimed(0));
  }
}

}  // namespace

namespace {

TEST_F(USBInterfaceTest, PipeReadsAreClippedToThePacketAndSlowAnswersComeAPacketAtATime) {
  auto ipp = interface();
  DQUSBPipe pipe(ipp);
  ASSERT_TRUE(pipe.open(nullptr));
  printer->setDripDelay(20ms);
  answer(std::string(1500, 'x'));
  std::vector<std::uint8_t> buffer(4096);
  std::size_t total = 0;
  std::vector<std::size_t> pieces;
  while (total < 1500) {
    const std::size_t count = pipe.readToBuffer(buffer.data(), buffer.size(), 1.0, 1.0, nullptr);
    ASSERT_GT(count, 0u);
    pieces.push_back(count);
    total += count;
  }
  EXPECT_EQ(pieces, (std::vector<std::size_t>{512, 512, 476}));
}

TEST_F(USBInterfaceTest, FailedAsyncTransfersReportTheirCodes) {
  auto ipp = interface();
  ASSERT_TRUE(ipp->open(nullptr));
  ipp->scheduleInRunLoop(platform::RunLoop::current());
  printer->failNextWrites(1, platform::usbreturn::kTimeout);
  printer->stallEndpoint(0x81, 1);
  std::vector<std::int64_t> codes;
  auto keep = [&](const platform::ErrorPtr& error, std::size_t count, auto) {
    EXPECT_EQ(count, 0u);
    codes.push_back(error ? error->code() : -1);
  };
  const std::uint8_t bytes[4] = {1, 2, 3, 4};
  ASSERT_TRUE(ipp->writeToPipe(1, bytes, 4, nullptr, keep));
  ASSERT_TRUE(ipp->readFromPipe(2, 16, nullptr, keep));
  ASSERT_TRUE(spinUntil([&] { return codes.size() == 2; }));
  EXPECT_EQ(codes, (std::vector<std::int64_t>{DQUSBInterfaceError::kOther, DQUSBInterfaceError::kOther}));
  EXPECT_FALSE(ipp->isReading() || ipp->isWriting());
}

TEST_F(USBInterfaceTest, AGoneDeviceGivesNoSnapshot) {
  auto gone = std::make_shared<VirtualPrinter>(zarnPrinter());
  auto service = bus->plug(gone, SimUsbBus::key(3, 2));
  // Unplugged between the device descriptor and the configuration.
  gone->setRequestFilter([&](const platform::UsbControlSetup& setup) {
    if (setup.value == 0x0200) gone->disconnect();
    return platform::usbreturn::kSuccess;
  });
  EXPECT_FALSE(DQUSBDevice::deviceWithService(service));
}

}  // namespace
