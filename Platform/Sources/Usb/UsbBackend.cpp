#include "Usb/UsbBackend.h"

#include <mutex>

#include "Usb/LibusbBackend.h"

namespace platform {

namespace {

// The single installed back end.
struct Installed {
  std::mutex mutex;  // guards backend; any thread
  std::shared_ptr<UsbBackend> backend;
};

Installed& installed() {
  static Installed* instance = new Installed;  // lives until the process ends
  return *instance;
}

}  // namespace

std::shared_ptr<UsbBackend> UsbBackend::shared() {
  auto& state = installed();
  std::lock_guard lock(state.mutex);
  if (!state.backend) state.backend = std::make_shared<LibusbBackend>();
  return state.backend;
}

void UsbBackend::setShared(std::shared_ptr<UsbBackend> backend) {
  auto& state = installed();
  std::lock_guard lock(state.mutex);
  state.backend = std::move(backend);
}

}  // namespace platform
