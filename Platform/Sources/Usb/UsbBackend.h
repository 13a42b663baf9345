#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "RunLoop/RunLoop.h"
#include "Usb/UsbDeviceRef.h"
#include "Usb/UsbReturn.h"

namespace platform {

// The USB host: the devices of a vendor as they come and go. The default is
// libusb (real devices); tests and demonstrations install a simulated bus.
class UsbBackend {
 public:
  struct Event {
    std::shared_ptr<UsbDeviceRef> device;
    bool arrived = false;  // false: removed
  };
  // Performed on the watch's run loop, never after the registration is gone.
  // The handler itself may be released on a back-end thread.
  using EventHandler = std::function<void(const Event&)>;

  // A running watch; destroying it stops the events, also those queued, and
  // returns at once. Destroy it on the watch's run-loop thread.
  class Registration {
   public:
    virtual ~Registration() = default;
  };

  // The step of starting a watch that failed.
  enum class WatchStep {
    kHost,      // the host could not be reached
    kArrivals,  // arrivals could not be watched, or the devices present not listed
    kRemovals,  // removals could not be watched
  };

  virtual ~UsbBackend() = default;

  // Watches the devices of `vendor`. Those attached now are handed back in
  // `present` before the call returns; later arrivals and removals are
  // performed on `target`, each arrival once per device. Call it on the
  // thread of `target`. On failure nothing stays armed and `failedStep` tells
  // which step failed.
  virtual UsbReturn watch(std::uint16_t vendor, const RunLoop& target, EventHandler handler,
                          std::vector<std::shared_ptr<UsbDeviceRef>>& present,
                          std::unique_ptr<Registration>& registration, WatchStep& failedStep) = 0;

  // The process's back end; the libusb one unless another was installed.
  static std::shared_ptr<UsbBackend> shared();
  // Installs a back end (nullptr: libusb again). Install before use: objects
  // made earlier keep theirs.
  static void setShared(std::shared_ptr<UsbBackend> backend);
};

}  // namespace platform
