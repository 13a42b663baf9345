#pragma once

#include <memory>

#include "DQUSBDevice.h"
#include "Usb/UsbDeviceRef.h"

class DQUSBDevicesSearcher;

// Hears of the maker's USB printers as they come and go, on the searcher's
// run loop.
class DQUSBDevicesSearcherDelegate {
 public:
  virtual ~DQUSBDevicesSearcherDelegate() = default;
  // A printer that can print or scan.
  virtual void USBDevicesSearcherDidDiscoverDevice(DQUSBDevicesSearcher& searcher,
                                                   const std::shared_ptr<DQUSBDevice>& device) = 0;
  // Any device of the maker that went, also one never reported as a printer;
  // DQUSBDevice::matchesService tells which device it was.
  virtual void USBDevicesSearcherDidLoseDeviceService(DQUSBDevicesSearcher& searcher,
                                                      const std::shared_ptr<platform::UsbDeviceRef>& service) = 0;
};
