#include "DQUSBDevicesSearcher.h"

#include "DQLog.h"
#include "DQUSBConstatns.h"

DQUSBDevicesSearcher::DQUSBDevicesSearcher(std::shared_ptr<platform::UsbBackend> backend)
    : backend_(std::move(backend)) {}

bool DQUSBDevicesSearcher::startInRunLoop(const platform::RunLoop& runLoop, const char*, platform::ErrorPtr* error) {
  if (running_) return true;
  running_ = true;
  runLoop_ = runLoop;
  auto backend = backend_ ? backend_ : platform::UsbBackend::shared();
  std::vector<std::shared_ptr<platform::UsbDeviceRef>> present;
  // Events reach this searcher through a weak reference: one destroyed or
  // stopped meanwhile hears nothing.
  std::weak_ptr<DQUSBDevicesSearcher> weak = sharedAs<DQUSBDevicesSearcher>();
  auto failedStep = platform::UsbBackend::WatchStep::kHost;
  const platform::UsbReturn result = backend->watch(
      DQUSBConstatns::ZarnVendorID(), runLoop,
      [weak](const platform::UsbBackend::Event& event) {
        auto self = weak.lock();
        if (!self || !self->running_) return;
        if (event.arrived) {
          com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBDevice] - Found the device");
          self->handleServiceAdded(event.device);
        } else {
          com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBDevice] - Lost the device");
          self->handleServiceRemoved(event.device);
        }
      },
      present, registration_, failedStep);
  const bool failed = result != platform::usbreturn::kSuccess;
  // Once the host was reached the browser counts as started, even when
  // arming its notifications fails.
  if (!failed || failedStep != platform::UsbBackend::WatchStep::kHost)
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBDevice] - Start device browser");
  if (failed) {
    logStartFailure(failedStep, result);
    // Nothing stays armed: a later start tries again.
    registration_.reset();
    running_ = false;
    if (error)
      *error = platform::Error::make(platform::Error::kURLErrorDomain, static_cast<std::int32_t>(result));
    return false;
  }
  if (!present.empty()) com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBDevice] - Found the device");
  for (const auto& service : present) {
    // The delegate may have let this searcher go: then nothing of it is
    // touched and nothing more is reported.
    if (weak.expired() || !running_) break;
    handleServiceAdded(service);
  }
  return true;
}

void DQUSBDevicesSearcher::logStartFailure(platform::UsbBackend::WatchStep step, platform::UsbReturn result) {
  using Step = platform::UsbBackend::WatchStep;
  switch (step) {
    case Step::kHost:
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBDevice] - Can't create a master port (%08x)", result);
      return;
    case Step::kArrivals:
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBDevice] - Can't setup notification for adding devices");
      return;
    case Step::kRemovals:
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                   "[DQUSBDevice] - Can't setup notification for removeing devices");
      return;
  }
}

void DQUSBDevicesSearcher::stop() {
  if (!running_) return;
  running_ = false;
  registration_.reset();
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBDevice] - Printers browser is stopped");
}

void DQUSBDevicesSearcher::handleServiceAdded(const std::shared_ptr<platform::UsbDeviceRef>& service) {
  if (!running_) return;
  auto device = DQUSBDevice::deviceWithService(service);
  if (!device || !(device->isPrintCapable() || device->isScanCapable())) return;
  if (running_ && delegate_) delegate_->USBDevicesSearcherDidDiscoverDevice(*this, device);
}

void DQUSBDevicesSearcher::handleServiceRemoved(const std::shared_ptr<platform::UsbDeviceRef>& service) {
  if (running_ && delegate_) delegate_->USBDevicesSearcherDidLoseDeviceService(*this, service);
}
