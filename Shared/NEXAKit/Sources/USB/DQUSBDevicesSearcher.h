#pragma once

#include <memory>
#include <optional>

#include "DQUSBDevicesSearcherDelegate.h"
#include "Errors/Error.h"
#include "RunLoop/RunLoop.h"
#include "Usb/UsbBackend.h"
#include "Values/Object.h"

// Watches the USB host for devices of the maker and reports the printers
// among them to its delegate: those attached at the start inside
// startInRunLoop, later ones on that run loop. Used on the run loop's thread
// only; after stop (or destruction) no delegate call is made, also not for
// notifications already queued. The delegate may let the searcher go from
// any of its calls, also inside startInRunLoop.
class DQUSBDevicesSearcher : public platform::Object {
 public:
  // The host comes from UsbBackend::shared() unless one is given.
  explicit DQUSBDevicesSearcher(std::shared_ptr<platform::UsbBackend> backend = nullptr);
  ~DQUSBDevicesSearcher() override { stop(); }

  // Not owned: the owner keeps the delegate alive and clears it.
  void setDelegate(DQUSBDevicesSearcherDelegate* delegate) { delegate_ = delegate; }
  DQUSBDevicesSearcherDelegate* delegate() const { return delegate_; }

  // The mode is accepted for the platform's signature; there is one mode.
  // A failed start leaves the searcher stopped, with an error of
  // NSURLErrorDomain whose code is the host code read as a signed number.
  bool startInRunLoop(const platform::RunLoop& runLoop, const char* mode, platform::ErrorPtr* error);
  void stop();
  bool isRunning() const { return running_; }
  const std::optional<platform::RunLoop>& runLoop() const { return runLoop_; }

  void handleServiceAdded(const std::shared_ptr<platform::UsbDeviceRef>& service);
  void handleServiceRemoved(const std::shared_ptr<platform::UsbDeviceRef>& service);

 private:
  // The error line of a start that failed at `step`.
  static void logStartFailure(platform::UsbBackend::WatchStep step, platform::UsbReturn result);

  std::shared_ptr<platform::UsbBackend> backend_;
  DQUSBDevicesSearcherDelegate* delegate_ = nullptr;
  bool running_ = false;
  std::optional<platform::RunLoop> runLoop_;
  std::unique_ptr<platform::UsbBackend::Registration> registration_;
};
