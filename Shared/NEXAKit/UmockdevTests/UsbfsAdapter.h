#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Simulation/Usb/VirtualPrinter.h"
#include "Usb/UsbDeviceHandle.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

// Serves a virtual printer to libusb through umockdev: a sysfs record made
// from the printer's descriptors, and a usbfs ioctl handler on its device
// node that turns claims, alternate settings, halts and URBs into calls of
// one open handle of the printer. The process must run under
// libumockdev-preload.so.0.
//
// Threads: umockdev calls the handler on its own thread; URB completions
// come from the printer's threads. One mutex guards the URB lists.
class UsbfsAdapter {
 public:
  UsbfsAdapter(UMockdevTestbed* testbed, std::shared_ptr<platform::VirtualPrinter> printer, int address, int port);
  ~UsbfsAdapter();

  // Attaches the handler, then adds the sysfs record (with an "add" event).
  void plug();
  // A "remove" event; the printer fails every request from now on.
  void unplug();

  static std::string hubRecord();

 private:
  struct Urb {
    UMockdevIoctlData* data;  // the client's struct usbdevfs_urb, resolved
    std::uint8_t endpoint;
  };
  static int handleIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, UsbfsAdapter* self);
  bool handle(UMockdevIoctlClient* client);
  void finish(UMockdevIoctlData* urb, platform::UsbReturn result, const std::vector<std::uint8_t>& bytes);

  UMockdevTestbed* const testbed_;
  const std::shared_ptr<platform::VirtualPrinter> printer_;
  const int address_;
  const int port_;
  UMockdevIoctlBase* handler_ = nullptr;
  std::shared_ptr<platform::UsbDeviceHandle> handle_;
  std::mutex mutex_;  // guards the lists below; umockdev's thread and the printer's
  std::vector<Urb> flying_;
  std::vector<UMockdevIoctlData*> reapable_;
};
