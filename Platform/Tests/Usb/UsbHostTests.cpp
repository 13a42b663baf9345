#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "Usb/LibusbBackend.h"
#include "Simulation/Usb/SimUsbBus.h"
#include "Simulation/Usb/VirtualPrinter.h"
#include "Usb/UsbReturn.h"

using namespace platform;
using namespace std::chrono_literals;

TEST(UsbHostTest, TimeOutsRoundUpAndNeverBecomeZero) {
  EXPECT_EQ(usbMillis(0.0004), UsbMillis(1));
  EXPECT_EQ(usbMillis(0), UsbMillis(1));
  EXPECT_EQ(usbMillis(-3), UsbMillis(1));
  EXPECT_EQ(usbMillis(1.0001), UsbMillis(1001));
  EXPECT_EQ(usbMillis(2), UsbMillis(2000));
  EXPECT_EQ(usbMillis(std::nan("")), UsbMillis(86400000));
  EXPECT_EQ(usbMillis(1e300), UsbMillis(86400000));
}

TEST(UsbHostTest, LocationsPutTheBusInTheTopByteAndOneNibblePerPort) {
  UsbDeviceKey key = SimUsbBus::key(7, 4);
  key.bus = 3;
  key.ports[1] = 2;
  key.depth = 2;
  EXPECT_EQ(key.locationId(), 0x03420000u);
  key.ports[1] = 16;  // cannot be written in a nibble
  EXPECT_FALSE(key.locationId());
  key.ports[1] = 1;
  key.depth = 7;
  EXPECT_FALSE(key.locationId());
}

TEST(UsbHostTest, LibusbResultsBecomeHostCodes) {
  EXPECT_EQ(LibusbBackend::fromError(-6), usbreturn::kExclusiveAccess);  // BUSY
  EXPECT_EQ(LibusbBackend::fromError(-4), usbreturn::kNoDevice);
  EXPECT_EQ(LibusbBackend::fromError(-9), usbreturn::kPipeStalled);
  EXPECT_EQ(LibusbBackend::fromError(-3), usbreturn::kNotPermitted);  // ACCESS
  EXPECT_EQ(LibusbBackend::fromError(-99), usbreturn::kError);
  EXPECT_EQ(LibusbBackend::fromTransferStatus(3), usbreturn::kAborted);  // CANCELLED
  EXPECT_EQ(LibusbBackend::fromTransferStatus(2), usbreturn::kTimeout);
}

// A synchronous IN transfer on another thread answers what came before its
// time-out, and one blocked without data ends as aborted when the endpoint is
// aborted from here.
TEST(UsbHostTest, SynchronousBulkReadsEndByDataTimeOutOrAbort) {
  auto printer = std::make_shared<VirtualPrinter>(VirtualPrinter::standardDescription(0x2F7A));
  std::shared_ptr<UsbDeviceHandle> handle = printer->open();
  ASSERT_EQ(handle->claimInterface(0), usbreturn::kSuccess);
  const std::uint8_t stale[3] = {1, 2, 3};
  printer->pushInput(0, stale);
  std::uint8_t buffer[16];
  std::size_t done = 0;
  EXPECT_EQ(handle->bulk(0x81, buffer, done, 50ms), usbreturn::kSuccess);
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(handle->bulk(0x81, buffer, done, 20ms), usbreturn::kTimeout);
  EXPECT_EQ(done, 0u);

  std::atomic<UsbReturn> result{usbreturn::kSuccess};
  std::thread reader([&] {
    std::uint8_t own[16];
    std::size_t count = 0;
    result = handle->bulk(0x81, own, count, UsbMillis(0));
  });
  // Aborts until the reader, which may not have started its transfer yet, ended.
  while (result.load() == usbreturn::kSuccess) {
    handle->abortEndpoint(0x81);
    std::this_thread::sleep_for(1ms);
  }
  reader.join();
  EXPECT_EQ(result, usbreturn::kAborted);
}
