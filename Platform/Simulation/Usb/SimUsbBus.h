#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Simulation/Usb/VirtualPrinter.h"
#include "Usb/UsbBackend.h"

namespace platform {

// A USB bus in the process: virtual printers are plugged in and out by hand,
// and watchers hear of them as they would of real devices. Install it with
// UsbBackend::setShared. Thread-safe.
class SimUsbBus : public UsbBackend, public std::enable_shared_from_this<SimUsbBus> {
 public:
  // Attaches the printer at the key's place; watchers of its vendor hear of
  // it on their run loops. The key's address must be unused.
  std::shared_ptr<UsbDeviceRef> plug(std::shared_ptr<VirtualPrinter> printer, UsbDeviceKey key);
  // The printer goes: its requests fail with kNoDevice from now on and the
  // watchers of its vendor hear of the removal.
  void unplug(const std::shared_ptr<VirtualPrinter>& printer);

  UsbReturn watch(std::uint16_t vendor, const RunLoop& target, EventHandler handler,
                  std::vector<std::shared_ptr<UsbDeviceRef>>& present,
                  std::unique_ptr<Registration>& registration, WatchStep& failedStep) override;

  // A key on bus 1 with the given address and one port.
  static UsbDeviceKey key(std::uint8_t address, std::uint8_t port);

 private:
  struct Watcher;
  struct Attached {
    std::shared_ptr<VirtualPrinter> printer;
    std::shared_ptr<UsbDeviceRef> device;
  };
  void post(const std::shared_ptr<UsbDeviceRef>& device, std::uint16_t vendor, bool arrived);

  std::mutex mutex_;  // guards the lists below; any thread, never held while calling out
  std::vector<Attached> attached_;
  std::vector<std::weak_ptr<Watcher>> watchers_;
};

}  // namespace platform
