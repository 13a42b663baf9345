#include "Simulation/Usb/SimUsbBus.h"

#include <algorithm>
#include <atomic>

namespace platform {

namespace {

// A virtual printer as the bus reports it.
class SimDeviceRef : public UsbDeviceRef {
 public:
  SimDeviceRef(std::shared_ptr<VirtualPrinter> printer, UsbDeviceKey key)
      : printer_(std::move(printer)), key_(key) {}
  UsbDeviceKey key() const override { return key_; }
  std::uint16_t vendorId() const override { return printer_->description().vendorId; }
  UsbReturn open(std::shared_ptr<UsbDeviceHandle>& handle) override {
    if (!printer_->isConnected()) return usbreturn::kNoDevice;
    handle = printer_->open();
    return usbreturn::kSuccess;
  }

 private:
  const std::shared_ptr<VirtualPrinter> printer_;
  const UsbDeviceKey key_;
};

}  // namespace

// One watch: its run loop and handler, alive until its registration goes.
struct SimUsbBus::Watcher {
  Watcher(std::uint16_t vendor, RunLoop target, EventHandler handler)
      : vendor(vendor), target(std::move(target)), handler(std::move(handler)) {}
  std::uint16_t vendor;
  RunLoop target;
  EventHandler handler;
  std::atomic<bool> active{true};  // written on the watch's thread, read where events are posted
};

namespace {

class SimRegistration : public UsbBackend::Registration {
 public:
  explicit SimRegistration(std::shared_ptr<void> watcher, std::atomic<bool>* active)
      : watcher_(std::move(watcher)), active_(active) {}
  ~SimRegistration() override { active_->store(false); }

 private:
  std::shared_ptr<void> watcher_;
  std::atomic<bool>* active_;
};

}  // namespace

UsbDeviceKey SimUsbBus::key(std::uint8_t address, std::uint8_t port) {
  UsbDeviceKey key;
  key.bus = 1;
  key.address = address;
  key.ports[0] = port;
  key.depth = 1;
  return key;
}

std::shared_ptr<UsbDeviceRef> SimUsbBus::plug(std::shared_ptr<VirtualPrinter> printer, UsbDeviceKey key) {
  auto device = std::make_shared<SimDeviceRef>(printer, key);
  {
    std::lock_guard lock(mutex_);
    attached_.push_back({printer, device});
  }
  post(device, printer->description().vendorId, true);
  return device;
}

void SimUsbBus::unplug(const std::shared_ptr<VirtualPrinter>& printer) {
  std::shared_ptr<UsbDeviceRef> device;
  {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(attached_.begin(), attached_.end(),
                              [&](const Attached& one) { return one.printer == printer; });
    if (found == attached_.end()) return;
    device = found->device;
    attached_.erase(found);
  }
  printer->disconnect();
  post(device, printer->description().vendorId, false);
}

void SimUsbBus::post(const std::shared_ptr<UsbDeviceRef>& device, std::uint16_t vendor, bool arrived) {
  std::vector<std::shared_ptr<Watcher>> watchers;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(watchers_, [](const std::weak_ptr<Watcher>& one) { return one.expired(); });
    for (const auto& one : watchers_)
      if (auto watcher = one.lock(); watcher && watcher->vendor == vendor) watchers.push_back(watcher);
  }
  for (const auto& watcher : watchers) {
    watcher->target.perform([watcher, event = Event{device, arrived}] {
      if (watcher->active.load()) watcher->handler(event);
    });
  }
}

UsbReturn SimUsbBus::watch(std::uint16_t vendor, const RunLoop& target, EventHandler handler,
                           std::vector<std::shared_ptr<UsbDeviceRef>>& present,
                           std::unique_ptr<Registration>& registration, WatchStep&) {
  auto watcher = std::make_shared<Watcher>(vendor, target, std::move(handler));
  std::lock_guard lock(mutex_);
  present.clear();
  for (const auto& one : attached_)
    if (one.printer->description().vendorId == vendor) present.push_back(one.device);
  watchers_.push_back(watcher);
  registration = std::make_unique<SimRegistration>(watcher, &watcher->active);
  return usbreturn::kSuccess;
}

}  // namespace platform
