#pragma once

#include <memory>

#include "Simulation/Usb/VirtualPrinter.h"
#include "UsbfsAdapter.h"

// A USB bus in umockdev's testbed: a root hub and one printer on port 4
// (address 2), served to libusb through a UsbfsAdapter. Make it before the
// first watch starts libusb's context and never destroy it: libusb's
// context lives until the process ends and keeps using the device nodes. The
// process must run under libumockdev-preload.so.0 (umockdev-wrapper).
class UmockdevBus {
 public:
  explicit UmockdevBus(const platform::VirtualPrinter::Description& printer);
  UmockdevBus(const UmockdevBus&) = delete;
  UmockdevBus& operator=(const UmockdevBus&) = delete;

  UMockdevTestbed* testbed() const { return testbed_; }
  const std::shared_ptr<platform::VirtualPrinter>& printer() const { return printer_; }

 private:
  UMockdevTestbed* testbed_ = nullptr;
  std::shared_ptr<platform::VirtualPrinter> printer_;
  std::unique_ptr<UsbfsAdapter> adapter_;
};
