#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DQUSBDevice.h"
#include "DQUSBDeviceInfo.h"
#include "DQUSBDevicesSearcher.h"
#include "TestSupport.h"
#include "USBTestSupport.h"

using platform::SimUsbBus;
using platform::VirtualPrinter;
using namespace testsupport;

namespace {

class USBDiscoveryTest : public ::testing::Test {
 protected:
  USBDiscoveryTest() { redirectUSBTrace(); }
  std::shared_ptr<DQUSBDevicesSearcher> start() {
    auto searcher = std::make_shared<DQUSBDevicesSearcher>(bus);
    searcher->setDelegate(&recorder);
    EXPECT_TRUE(searcher->startInRunLoop(platform::RunLoop::current(), nullptr, nullptr));
    return searcher;
  }
  std::shared_ptr<DQUSBDevice> device(VirtualPrinter::Description description, std::uint8_t address = 2) {
    auto printer = std::make_shared<VirtualPrinter>(std::move(description));
    printers.push_back(printer);
    return DQUSBDevice::deviceWithService(bus->plug(printer, SimUsbBus::key(address, address)));
  }

  std::shared_ptr<SimUsbBus> bus = std::make_shared<SimUsbBus>();
  std::vector<std::shared_ptr<VirtualPrinter>> printers;
  Recorder recorder;
};

TEST_F(USBDiscoveryTest, ReportsPrintersPresentAtStartInsideStartThenArrivalsAndRemovals) {
  auto present = std::make_shared<VirtualPrinter>(zarnPrinter());
  const auto presentService = bus->plug(present, SimUsbBus::key(2, 1));
  auto searcher = start();
  ASSERT_EQ(recorder.found.size(), 1u);
  EXPECT_TRUE(recorder.found[0]->matchesService(presentService));
  EXPECT_TRUE(searcher->startInRunLoop(platform::RunLoop::current(), nullptr, nullptr));  // nothing new armed

  // Another vendor's printer is not heard of; a device of the maker that is
  // no printer is not reported, but its removal is.
  auto foreign = zarnPrinter();
  foreign.vendorId = 0x1234;
  bus->plug(std::make_shared<VirtualPrinter>(foreign), SimUsbBus::key(3, 2));
  auto hub = zarnPrinter();
  hub.interfaces[0].alternates = {{0, 9, 0, 0, 0, {}}};
  hub.strings[2] = "Dock";
  auto notPrinter = std::make_shared<VirtualPrinter>(hub);
  const auto notPrinterService = bus->plug(notPrinter, SimUsbBus::key(4, 3));
  auto arriving = std::make_shared<VirtualPrinter>(zarnPrinter());
  bus->plug(arriving, SimUsbBus::key(5, 4));
  ASSERT_TRUE(spinUntil([&] { return recorder.found.size() == 2; }));
  EXPECT_EQ(recorder.found[1]->locationID(), 0x01400000u);

  bus->unplug(notPrinter);
  bus->unplug(present);
  ASSERT_TRUE(spinUntil([&] { return recorder.lost.size() == 2; }));
  EXPECT_TRUE(recorder.lost[0]->matches(*notPrinterService));
  EXPECT_TRUE(recorder.found[0]->matchesService(recorder.lost[1]));
  EXPECT_EQ(recorder.found.size(), 2u);
}

TEST_F(USBDiscoveryTest, NothingIsReportedAfterStopEvenWhenAlreadyQueued) {
  auto searcher = start();
  auto printer = std::make_shared<VirtualPrinter>(zarnPrinter());
  bus->plug(printer, SimUsbBus::key(2, 1));  // queued on this run loop
  searcher->stop();
  EXPECT_FALSE(searcher->isRunning());
  bus->unplug(printer);
  bool drained = false;
  platform::RunLoop::current().perform([&] { drained = true; });
  ASSERT_TRUE(spinUntil([&] { return drained; }));
  EXPECT_TRUE(recorder.found.empty());
  EXPECT_TRUE(recorder.lost.empty());

  // Destroying a running searcher silences it the same way.
  searcher = start();
  bus->plug(std::make_shared<VirtualPrinter>(zarnPrinter()), SimUsbBus::key(3, 2));
  searcher.reset();
  drained = false;
  platform::RunLoop::current().perform([&] { drained = true; });
  ASSERT_TRUE(spinUntil([&] { return drained; }));
  EXPECT_TRUE(recorder.found.empty());
}

TEST_F(USBDiscoveryTest, ADelegateMayLetTheSearcherGoWhenAPrinterIsReported) {
  // The delegate lets go of the searcher at the first printer: of two
  // printers present at the start, and of two arriving later, it hears of one.
  struct LettingGo : DQUSBDevicesSearcherDelegate {
    void USBDevicesSearcherDidDiscoverDevice(DQUSBDevicesSearcher&, const std::shared_ptr<DQUSBDevice>&) override {
      ++found;
      searcher.reset();
    }
    void USBDevicesSearcherDidLoseDeviceService(DQUSBDevicesSearcher&,
                                                const std::shared_ptr<platform::UsbDeviceRef>&) override {}
    std::shared_ptr<DQUSBDevicesSearcher> searcher;
    int found = 0;
  };
  for (const bool presentAtStart : {true, false}) {
    auto host = std::make_shared<SimUsbBus>();
    auto plugTwo = [&] {
      host->plug(std::make_shared<VirtualPrinter>(zarnPrinter()), SimUsbBus::key(2, 1));
      host->plug(std::make_shared<VirtualPrinter>(zarnPrinter()), SimUsbBus::key(3, 2));
    };
    LettingGo delegate;
    delegate.searcher = std::make_shared<DQUSBDevicesSearcher>(host);
    delegate.searcher->setDelegate(&delegate);
    if (presentAtStart) plugTwo();
    EXPECT_TRUE(delegate.searcher->startInRunLoop(platform::RunLoop::current(), nullptr, nullptr));
    if (!presentAtStart) plugTwo();
    ASSERT_TRUE(spinUntil([&] { return !delegate.searcher; })) << presentAtStart;
    bool drained = false;
    platform::RunLoop::current().perform([&] { drained = true; });
    ASSERT_TRUE(spinUntil([&] { return drained; }));
    EXPECT_EQ(delegate.found, 1) << presentAtStart;
  }
}

// A host whose watch fails once at a given step, as libusb does without a
// context or hot-plug support.
class FailingOnceBus : public SimUsbBus {
 public:
  FailingOnceBus(WatchStep step, platform::UsbReturn code) : step_(step), code_(code) {}
  platform::UsbReturn watch(std::uint16_t vendor, const platform::RunLoop& target, EventHandler handler,
                            std::vector<std::shared_ptr<platform::UsbDeviceRef>>& present,
                            std::unique_ptr<Registration>& registration, WatchStep& failedStep) override {
    if (failures-- > 0) {
      failedStep = step_;
      return code_;
    }
    return SimUsbBus::watch(vendor, target, std::move(handler), present, registration, failedStep);
  }
  int failures = 1;

 private:
  WatchStep step_;
  platform::UsbReturn code_;
};

TEST_F(USBDiscoveryTest, AFailedStartLogsItsStepReportsTheHostCodeAndLeavesTheSearcherStopped) {
  using Step = SimUsbBus::WatchStep;
  const struct {
    Step step;
    platform::UsbReturn code;
    const char* line;
    bool started;  // whether "Start device browser" comes before the failure
  } cases[] = {
      {Step::kHost, platform::usbreturn::kNotPermitted, "[DQUSBDevice] - Can't create a master port (e00002e2)", false},
      {Step::kArrivals, platform::usbreturn::kNoDevice, "[DQUSBDevice] - Can't setup notification for adding devices",
       true},
      {Step::kRemovals, platform::usbreturn::kError, "[DQUSBDevice] - Can't setup notification for removeing devices",
       true},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.line);
    CapturedLog log;
    Recorder recorder;
    auto failing = std::make_shared<FailingOnceBus>(one.step, one.code);
    failing->plug(std::make_shared<VirtualPrinter>(zarnPrinter()), SimUsbBus::key(2, 1));
    auto searcher = std::make_shared<DQUSBDevicesSearcher>(failing);
    searcher->setDelegate(&recorder);
    platform::ErrorPtr error;
    EXPECT_FALSE(searcher->startInRunLoop(platform::RunLoop::current(), nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(platform::Error::kURLErrorDomain, static_cast<std::int32_t>(one.code)));
    EXPECT_FALSE(searcher->isRunning());
    std::vector<std::pair<int, std::string>> expected;
    if (one.started) expected.emplace_back(kDQLogLevelDebug, "[DQUSBDevice] - Start device browser");
    expected.emplace_back(kDQLogLevelError, one.line);
    EXPECT_EQ(log.lines(), expected);
    // Started again, it really watches.
    EXPECT_TRUE(searcher->startInRunLoop(platform::RunLoop::current(), nullptr, nullptr));
    EXPECT_EQ(recorder.found.size(), 1u);
  }
}

TEST_F(USBDiscoveryTest, SnapshotReadsStringsDeviceIDsOfBothLengthConventionsAndTheExtendedInfoDescriptor) {
  auto printer = device(zarnPrinter());
  ASSERT_TRUE(printer);
  const auto& info = *printer->deviceInfo();
  EXPECT_EQ(info.productName(), "Virtual Printer 100");
  EXPECT_EQ(info.manufacturer(), "Zarn");
  EXPECT_EQ(info.serialNumber(), "SN0001");
  EXPECT_EQ(info.productID(), 0x0100);
  EXPECT_EQ(info.locationID(), 0x01200000u);
  EXPECT_EQ(info.stringDescriptors().at(5), "urn:uuid:0c6f-77");
  // The length that counts its own two bytes leaves no zero bytes behind.
  EXPECT_EQ(printer->deviceIDStrings(),
            (std::vector<std::string>{"MFG:Zarn;MDL:Virtual 100;DES:Office printer;SN:SN0001;",
                                      "MFG:Zarn;MDL:Virtual 100 IPP;CID:ZARN-1;NEXADIS:USB#07#01#04;"}));
  ASSERT_TRUE(info.deviceInfoDescriptor());
  EXPECT_EQ(info.deviceInfoDescriptor()->IPPPrinterUUIDDescriptor(), 5);
  EXPECT_TRUE(info.isScanCapable());
  EXPECT_TRUE(info.isAirPrintCapable());
  EXPECT_FALSE(info.isFaxCapable());
}

TEST_F(USBDiscoveryTest, LongConfigurationsAndDeviceIDsAreReadAgainWithTheSizeTheyAnnounce) {
  auto description = zarnPrinter();
  description.configurationPadding = 700;
  const std::string longID = "MFG:Zarn;MDL:Long;DES:" + std::string(600, 'x') + ";";
  description.deviceIDs[{0, 0}] = VirtualPrinter::deviceIDAnswer(longID, VirtualPrinter::LengthField::TextOnly);
  auto printer = device(description);
  ASSERT_TRUE(printer);
  EXPECT_EQ(printer->deviceInfo()->interfaceDescriptors().size(), 2u);
  EXPECT_EQ(printer->deviceIDStrings()[0], longID);
}

TEST_F(USBDiscoveryTest, DeviceBytesAreTrustedOnlyAsFarAsTheyCame) {
  auto description = zarnPrinter();
  // A device ID whose length field claims more than was sent.
  description.deviceIDs[{0, 0}] = {0x00, 0x64, 'M', 'F', 'G', ':', 'Z', ';'};
  // A string whose bLength claims more than was sent, one of only zeros,
  // and one that is not a string descriptor.
  description.rawStrings[1] = {40, 3, 'Z', 0, 'a', 0, 'r', 0, 'n', 0};
  description.rawStrings[2] = {6, 3, 0, 0, 0, 0};
  description.rawStrings[3] = {6, 2, 'S', 0, 'N', 0};
  auto printer = device(description);
  ASSERT_TRUE(printer);
  EXPECT_EQ(printer->deviceIDStrings()[0], "MFG:Z;");
  EXPECT_EQ(printer->manufacturer(), "Zarn");
  EXPECT_FALSE(printer->productName());
  EXPECT_FALSE(printer->serialNumber());
}

TEST_F(USBDiscoveryTest, InfoDescriptorFormsAndAStallAreTold) {
  auto base = zarnPrinter();
  base.deviceInfoDescriptor = std::vector<std::uint8_t>{9, 0x21, 1, 0, 0, 2, 0x02, 0x00, 4};
  auto printer = device(base, 2);
  ASSERT_TRUE(printer && printer->deviceInfo()->deviceInfoDescriptor());
  EXPECT_EQ(printer->deviceInfo()->deviceInfoDescriptor()->IPPVersionDescriptor(), 0);
  EXPECT_TRUE(printer->isScanCapable());

  auto corrupted = zarnPrinter();
  corrupted.deviceInfoDescriptor = std::vector<std::uint8_t>{10, 0x21, 1, 0, 0, 2, 0x12, 0x00};
  EXPECT_FALSE(device(corrupted, 3)->deviceInfo()->deviceInfoDescriptor());

  // Stalled: the device is still made, AirPrint capable through its 7-1-4
  // interface only, and neither scan nor fax capable.
  auto stalled = zarnPrinter();
  stalled.deviceInfoDescriptor.reset();
  printer = device(stalled, 4);
  ASSERT_TRUE(printer);
  EXPECT_TRUE(printer->isAirPrintCapable());
  EXPECT_FALSE(printer->isScanCapable());
  EXPECT_FALSE(printer->isFaxCapable());
}

TEST_F(USBDiscoveryTest, OtherVendorsAndUnreadableDevicesGiveNoDevice) {
  CapturedLog log;
  auto foreign = zarnPrinter();
  foreign.vendorId = 0x1234;
  EXPECT_FALSE(device(foreign, 2));
  EXPECT_TRUE(log.contains(kDQLogLevelDebug, "[DQUSBDeviceInfo] - Skipping non-Zarn device."));

  auto printer = std::make_shared<VirtualPrinter>(zarnPrinter());
  printer->setRequestFilter([](const platform::UsbControlSetup& setup) {
    return setup.value == 0x0200 ? platform::usbreturn::kTimeout : platform::usbreturn::kSuccess;
  });
  EXPECT_FALSE(DQUSBDevice::deviceWithService(bus->plug(printer, SimUsbBus::key(3, 3))));
  EXPECT_TRUE(log.contains(kDQLogLevelError,
                           "[DQUSBDeviceInfo]  - Failed to obtain configuration descriptor, skipping device."));

  // A device descriptor one byte short of 18, the maker's vendor ID intact.
  auto cut = zarnPrinter();
  auto descriptor = VirtualPrinter(cut).deviceDescriptor();
  descriptor.pop_back();
  cut.rawDeviceDescriptor = descriptor;
  EXPECT_FALSE(device(cut, 4));
  EXPECT_TRUE(log.contains(kDQLogLevelError, "[DQUSBDeviceInfo] - Failed to retrieve device descriptor {err=-536870199}"));
}

TEST_F(USBDiscoveryTest, CapabilitiesFollowTheProductFamilyAndAMissingNameNamesNone) {
  auto scanner = zarnPrinter();
  scanner.strings[2] = "QuorBel 5";
  auto device1 = device(scanner, 2);
  EXPECT_TRUE(device1->isScanCapable());
  EXPECT_FALSE(device1->isPrintCapable());

  auto nameless = zarnPrinter();
  nameless.strings.erase(2);
  nameless.deviceInfoDescriptor.reset();
  auto device2 = device(nameless, 3);
  EXPECT_TRUE(device2->isPrintCapable());
  EXPECT_FALSE(device2->isScanCapable());
}

TEST_F(USBDiscoveryTest, DeviceIDAnswersAreMergedInConfigurationOrder) {
  auto description = zarnPrinter();
  description.interfaces.push_back({1, {{0, 7, 1, 2, 0, {{0x02, 2, 512}, {0x82, 2, 512}}}}, false});
  description.deviceIDs[{1, 0}] =
      VirtualPrinter::deviceIDAnswer("MFG:Other;MDL:Virtual 100;CID:;", VirtualPrinter::LengthField::TextOnly);
  auto printer = device(description);
  const auto& ids = printer->deviceIDInfo();
  // The second 7-1-2 interface replaced the first one's device ID.
  EXPECT_EQ(printer->deviceIDStrings().size(), 2u);
  EXPECT_EQ(ids.deviceIDReportedModels(), (std::vector<std::string>{"Virtual 100", "Virtual 100 IPP"}));
  EXPECT_EQ(ids.deviceIDReportedManufacturer(), "Other");
  EXPECT_EQ(ids.deviceIDReportedCID(), "ZARN-1");
  EXPECT_FALSE(ids.deviceIDReportedSerialNumber());
  ASSERT_TRUE(ids.deviceIDReportedNEXAIS());
  EXPECT_EQ(ids.deviceIDReportedNEXAIS()->size(), 1u);
  // The only NEXA interface (7-1-4) has the IPP-over-USB alternate; interface
  // 1 is a print interface of its own.
  EXPECT_FALSE(printer->hasNonAirPrintNEXAInterfaces());
  EXPECT_TRUE(printer->hasSeparatePrintInterfaces());
}

TEST_F(USBDiscoveryTest, AnUnpluggedDeviceFindsNoInterfaceAndStaysDisconnected) {
  auto printerModel = std::make_shared<VirtualPrinter>(zarnPrinter());
  auto printer = DQUSBDevice::deviceWithService(bus->plug(printerModel, SimUsbBus::key(2, 1)));
  const auto descriptor = printer->deviceInfo()->descriptorForClass(7, 1, 4);
  auto interface = printer->interfaceForDescriptor(descriptor);
  ASSERT_TRUE(interface);
  EXPECT_EQ(interface->requestedAlternate(), 1);
  bus->unplug(printerModel);
  EXPECT_FALSE(printer->interfaceForDescriptor(descriptor, 1));
  EXPECT_FALSE(printer->isConnected());
  EXPECT_FALSE(printer->interfaceForDescriptor(descriptor));
}

}  // namespace
