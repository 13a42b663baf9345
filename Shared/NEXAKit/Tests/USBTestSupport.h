#pragma once

// A simulated USB bus with the maker's printers on it, for the USB tests.

#include <memory>
#include <string>
#include <vector>

#include "DQUSBConstatns.h"
#include "DQUSBDevicesSearcherDelegate.h"
#include "RunLoop/RunLoop.h"
#include "Simulation/Usb/SimUsbBus.h"
#include "Simulation/Usb/VirtualPrinter.h"

namespace testsupport {

// A printer of the maker: the standard simulated printer (one interface with
// alternates 7-1-2 and 7-1-4, an extended 0x21 descriptor, scan capable, with
// IPP strings) and a device ID per alternate.
inline platform::VirtualPrinter::Description zarnPrinter(std::uint16_t maxPacket = 512) {
  using Printer = platform::VirtualPrinter;
  auto description = Printer::standardDescription(DQUSBConstatns::ZarnVendorID(), maxPacket);
  description.deviceIDs[{0, 0}] =
      Printer::deviceIDAnswer("MFG:Zarn;MDL:Virtual 100;DES:Office printer;SN:SN0001;", Printer::LengthField::TextOnly);
  description.deviceIDs[{0, 1}] = Printer::deviceIDAnswer(
      "MFG:Zarn;MDL:Virtual 100 IPP;CID:ZARN-1;NEXADIS:USB#07#01#04;", Printer::LengthField::CountsItself);
  return description;
}

// Records what a searcher reports.
class Recorder : public DQUSBDevicesSearcherDelegate {
 public:
  void USBDevicesSearcherDidDiscoverDevice(DQUSBDevicesSearcher&, const std::shared_ptr<DQUSBDevice>& device) override {
    found.push_back(device);
  }
  void USBDevicesSearcherDidLoseDeviceService(DQUSBDevicesSearcher&,
                                              const std::shared_ptr<platform::UsbDeviceRef>& service) override {
    lost.push_back(service);
  }
  std::vector<std::shared_ptr<DQUSBDevice>> found;
  std::vector<std::shared_ptr<platform::UsbDeviceRef>> lost;
};

// Keeps the trace of the process out of the user's folders: the trace file
// goes to a temporary folder made before the first test.
void redirectUSBTrace();

// Waits on this thread's run loop until `done`; false when it did not come.
bool spinUntil(const std::function<bool()>& done);

// Has `block` performed on this thread's run loop once the printer took the
// `count`-th bulk OUT packet of its interface 0 (replacing its output
// handler). With a write delay the writer is still spinning that run loop
// for the packet, so the block runs inside the write.
void performAfterPacket(platform::VirtualPrinter& printer, int count, std::function<void()> block);

// The whole file (empty when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace testsupport
