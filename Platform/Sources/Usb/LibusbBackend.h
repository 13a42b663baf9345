#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "Usb/UsbBackend.h"

namespace platform {

// The USB host on libusb-1.0, for real devices.
//
// One process-wide libusb context, made on first use, with a private event
// thread that runs libusb's events: hot-plug and transfer callbacks run
// there and only record or post; every handler and completion of ours is
// performed on the run loop of its owner. A watch's run loop and handler go
// on the watching thread when its registration goes, also while libusb's
// thread is inside one of its callbacks. Opening a device needs read and
// write access to its node under /dev/bus/usb; claiming an interface detaches
// the kernel driver bound to it (usblp) until the interface is released.
class LibusbBackend : public UsbBackend {
 public:
  UsbReturn watch(std::uint16_t vendor, const RunLoop& target, EventHandler handler,
                  std::vector<std::shared_ptr<UsbDeviceRef>>& present,
                  std::unique_ptr<Registration>& registration, WatchStep& failedStep) override;

  // libusb error codes (LIBUSB_ERROR_*) and transfer states in host codes.
  static UsbReturn fromError(int error);
  static UsbReturn fromTransferStatus(int status);

  // For tests: when set, called on libusb's thread inside each hot-plug
  // callback of a registered watch, after the callback took hold of the watch
  // and before it posts the event; it may keep the thread there.
  static std::atomic<void (*)()> hotplugCallbackHook;
};

}  // namespace platform
