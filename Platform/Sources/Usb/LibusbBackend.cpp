#include "Usb/LibusbBackend.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "RunLoop/CallerSide.h"
#include "RunLoop/ThreadSanitizer.h"

namespace platform {

namespace {

// The process's libusb context and its event thread. Shared by every device,
// handle and watch made from it, so it outlives them.
class LibusbContext {
 public:
  static std::shared_ptr<LibusbContext> shared(UsbReturn& result) {
    static std::mutex mutex;  // guards made; any thread
    static std::shared_ptr<LibusbContext> made;
    std::lock_guard lock(mutex);
    if (!made) {
      libusb_context* context = nullptr;
      const int status = libusb_init(&context);
      if (status != 0) {
        result = LibusbBackend::fromError(status);
        return nullptr;
      }
      made = std::make_shared<LibusbContext>(context);
    }
    result = usbreturn::kSuccess;
    return made;
  }

  // The event thread holds what its loop reads, not this object, which may
  // go while the thread is inside a callback (see the destructor).
  explicit LibusbContext(libusb_context* context) : context_(context) {
    events_ = std::thread([context, stopping = stopping_] { eventLoop(context, *stopping); });
  }
  ~LibusbContext() {
    stopping_->store(true);
    if (events_.get_id() == std::this_thread::get_id()) {
      // The last reference went inside one of libusb's callbacks, once the
      // process's own reference had gone at its end: the thread cannot wait
      // for itself. It ends on its own when the callback returns, and libusb's
      // context, which it is still inside, stays until the process ends.
      events_.detach();
      return;
    }
    libusb_interrupt_event_handler(context_);
    events_.join();
    libusb_exit(context_);
  }

  libusb_context* context() const { return context_; }

 private:
  // Nobody waits for a turn of this loop: an interruption that comes while it
  // is between two turns ends the next one at once.
  static void eventLoop(libusb_context* context, const std::atomic<bool>& stopping) {
    while (!stopping) libusb_handle_events(context);
  }

  libusb_context* const context_;
  const std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
  std::thread events_;
};

// One outstanding transfer; freed on the event thread after its completion.
struct TransferState {
  class LibusbHandle* owner = nullptr;
  libusb_transfer* transfer = nullptr;
  std::uint8_t endpoint = 0;
  std::vector<std::uint8_t> buffer;
  UsbDeviceHandle::RawCompletion completion;
};

class LibusbHandle : public UsbDeviceHandle {
 public:
  LibusbHandle(std::shared_ptr<LibusbContext> context, libusb_device_handle* handle)
      : context_(std::move(context)), handle_(handle) {}

  ~LibusbHandle() override {
    std::unique_lock lock(mutex_);
    for (auto* state : inFlight_) libusb_cancel_transfer(state->transfer);
    // libusb must not close a handle while it still owns transfers of it.
    drained_.wait(lock, [&] { return inFlight_.empty(); });
    for (auto number : claimed_) libusb_release_interface(handle_, number);
    lock.unlock();
    libusb_close(handle_);
  }

  UsbReturn control(const UsbControlSetup& setup, std::span<std::uint8_t> data, std::size_t& done,
                    UsbMillis timeout) override {
    done = 0;
    // Submitted and waited for here, not through libusb's synchronous call:
    // the event thread completes the transfer, and libusb's own wait tells the
    // caller with a flag that orders nothing before the transfer is freed.
    const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(data.size(), 0xFFFF));
    const bool input = (setup.requestType & LIBUSB_ENDPOINT_IN) != 0;
    std::vector<std::uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
    libusb_fill_control_setup(buffer.data(), setup.requestType, setup.request, setup.value, setup.index, length);
    if (!input) std::copy_n(data.begin(), length, buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE);
    auto* transfer = libusb_alloc_transfer(0);
    if (!transfer) return usbreturn::kError;
    ControlWait wait;
    libusb_fill_control_transfer(transfer, handle_, buffer.data(), &LibusbHandle::controlDone, &wait,
                                 static_cast<unsigned>(timeout.count()));
    const int submitted = libusb_submit_transfer(transfer);
    if (submitted != 0) {
      libusb_free_transfer(transfer);
      return LibusbBackend::fromError(submitted);
    }
    {
      std::unique_lock lock(wait.mutex);
      wait.finished.wait(lock, [&] { return wait.done; });
    }
    const int status = transfer->status;
    const auto actual = static_cast<std::size_t>(std::max(transfer->actual_length, 0));
    libusb_free_transfer(transfer);
    // The codes of libusb's synchronous call: a cancelled transfer is an error.
    if (status != LIBUSB_TRANSFER_COMPLETED) {
      return status == LIBUSB_TRANSFER_CANCELLED ? usbreturn::kError : LibusbBackend::fromTransferStatus(status);
    }
    done = std::min<std::size_t>(actual, length);
    if (input) std::copy_n(buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE, done, data.begin());
    return usbreturn::kSuccess;
  }
  UsbReturn configuration(std::uint8_t& value) override {
    int configuration = 0;
    const int result = libusb_get_configuration(handle_, &configuration);
    value = static_cast<std::uint8_t>(configuration);
    return LibusbBackend::fromError(result);
  }
  UsbReturn claimInterface(std::uint8_t number) override {
    libusb_set_auto_detach_kernel_driver(handle_, 1);
    const int result = libusb_claim_interface(handle_, number);
    if (result == 0) {
      std::lock_guard lock(mutex_);
      claimed_.insert(number);
    }
    return LibusbBackend::fromError(result);
  }
  UsbReturn releaseInterface(std::uint8_t number) override {
    {
      std::lock_guard lock(mutex_);
      claimed_.erase(number);
    }
    return LibusbBackend::fromError(libusb_release_interface(handle_, number));
  }
  UsbReturn alternateSetting(std::uint8_t number, std::uint8_t& alternate) override {
    std::uint8_t value = 0;
    std::size_t done = 0;
    const UsbReturn result = control({0x81, 0x0A, 0, number}, {&value, 1}, done, UsbMillis(5000));
    if (result != usbreturn::kSuccess) return result;
    if (done != 1) return usbreturn::kInternalError;
    alternate = value;
    return usbreturn::kSuccess;
  }
  UsbReturn setAlternateSetting(std::uint8_t number, std::uint8_t alternate) override {
    {
      std::lock_guard lock(mutex_);
      if (!claimed_.contains(number)) return usbreturn::kNotFound;
    }
    // libusb 1.0.26 releases a lock it never took when asked to set an
    // alternate of a device that is gone, and then aborts the process when
    // the handle is closed. Claiming a claimed interface again sends nothing
    // and keeps libusb's locks balanced, and it tells whether the device is
    // still there; only a removal in the instant between the two calls
    // escapes it.
    if (libusb_claim_interface(handle_, number) == LIBUSB_ERROR_NO_DEVICE) return usbreturn::kNoDevice;
    return LibusbBackend::fromError(libusb_set_interface_alt_setting(handle_, number, alternate));
  }
  bool hostStalled(std::uint8_t endpoint) const override {
    std::lock_guard lock(mutex_);
    return stalled_.contains(endpoint);
  }
  UsbReturn clearHalt(std::uint8_t endpoint) override {
    const int result = libusb_clear_halt(handle_, endpoint);
    if (result == 0) {
      std::lock_guard lock(mutex_);
      stalled_.erase(endpoint);
    }
    return LibusbBackend::fromError(result);
  }
  using UsbDeviceHandle::submitBulk;
  UsbReturn submitBulk(std::uint8_t endpoint, std::vector<std::uint8_t> buffer, UsbMillis timeout,
                       RawCompletion completion) override {
    if (buffer.size() > static_cast<std::size_t>(INT32_MAX)) return usbreturn::kError;
    auto* transfer = libusb_alloc_transfer(0);
    if (!transfer) return usbreturn::kError;
    auto* state = new TransferState{this, transfer, endpoint, std::move(buffer), std::move(completion)};
    libusb_fill_bulk_transfer(transfer, handle_, endpoint, state->buffer.data(),
                              static_cast<int>(state->buffer.size()), &LibusbHandle::transferDone, state,
                              static_cast<unsigned>(timeout.count()));
    std::lock_guard lock(mutex_);
    // The device side reads and fills the buffer after the submission and
    // before the completion, behind the kernel (under test, a thread of this
    // process that emulates usbfs).
    PLATFORM_TSAN_RELEASE(state->buffer.data());
    const int result = libusb_submit_transfer(transfer);
    if (result != 0) {
      libusb_free_transfer(transfer);
      delete state;
      return LibusbBackend::fromError(result);
    }
    inFlight_.insert(state);
    return usbreturn::kSuccess;
  }
  void abortEndpoint(std::uint8_t endpoint) override {
    std::lock_guard lock(mutex_);
    for (auto* state : inFlight_)
      if (state->endpoint == endpoint) libusb_cancel_transfer(state->transfer);
  }

 private:
  // A control transfer's caller waits for the event thread.
  struct ControlWait {
    std::mutex mutex;  // guards done; the caller and the event thread
    std::condition_variable finished;
    bool done = false;
  };

  // On the event thread.
  static void LIBUSB_CALL controlDone(libusb_transfer* transfer) {
    auto* wait = static_cast<ControlWait*>(transfer->user_data);
    std::lock_guard lock(wait->mutex);
    wait->done = true;
    wait->finished.notify_all();
  }

  // On the event thread.
  static void LIBUSB_CALL transferDone(libusb_transfer* transfer) {
    auto* state = static_cast<TransferState*>(transfer->user_data);
    PLATFORM_TSAN_ACQUIRE(state->buffer.data());
    const UsbReturn result = LibusbBackend::fromTransferStatus(transfer->status);
    state->buffer.resize(static_cast<std::size_t>(std::max(transfer->actual_length, 0)));
    LibusbHandle* owner = state->owner;
    if (result == usbreturn::kPipeStalled) {
      std::lock_guard lock(owner->mutex_);
      owner->stalled_.insert(state->endpoint);
    }
    state->completion(result, std::move(state->buffer));
    // Out of the set and freed under the lock: an abort on another thread
    // cancels only transfers that libusb still holds.
    std::lock_guard lock(owner->mutex_);
    owner->inFlight_.erase(state);
    libusb_free_transfer(transfer);
    delete state;
    owner->drained_.notify_all();
  }

  const std::shared_ptr<LibusbContext> context_;
  libusb_device_handle* const handle_;
  mutable std::mutex mutex_;  // guards the sets below; any thread and the event thread
  std::condition_variable drained_;
  std::set<TransferState*> inFlight_;
  std::set<std::uint8_t> claimed_;
  std::set<std::uint8_t> stalled_;
};

class LibusbDevice : public UsbDeviceRef {
 public:
  LibusbDevice(std::shared_ptr<LibusbContext> context, libusb_device* device)
      : context_(std::move(context)), device_(libusb_ref_device(device)) {
    key_.bus = libusb_get_bus_number(device);
    key_.address = libusb_get_device_address(device);
    const int depth = libusb_get_port_numbers(device, key_.ports.data(), static_cast<int>(key_.ports.size()));
    key_.depth = static_cast<std::uint8_t>(depth > 0 ? depth : 0);
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) == 0) vendor_ = descriptor.idVendor;
  }
  ~LibusbDevice() override { libusb_unref_device(device_); }

  UsbDeviceKey key() const override { return key_; }
  std::uint16_t vendorId() const override { return vendor_; }
  UsbReturn open(std::shared_ptr<UsbDeviceHandle>& handle) override {
    libusb_device_handle* opened = nullptr;
    const int result = libusb_open(device_, &opened);
    if (result != 0) return LibusbBackend::fromError(result);
    handle = std::make_shared<LibusbHandle>(context_, opened);
    return usbreturn::kSuccess;
  }

 private:
  const std::shared_ptr<LibusbContext> context_;
  libusb_device* const device_;
  UsbDeviceKey key_;
  std::uint16_t vendor_ = 0;
};

// One hot-plug watch. libusb calls back on its event thread (or on a thread
// inside a synchronous libusb call), or on the watching thread inside the
// registration for devices present. The watcher's run loop and handler are
// reached only through its caller side, which the registration empties on the
// watcher's thread: a callback that still holds the watch after that holds
// nothing of the watcher's.
struct HotplugWatch {
  HotplugWatch(std::shared_ptr<LibusbContext> context, RunLoop target, UsbBackend::EventHandler handler)
      : context(std::move(context)),
        caller(std::make_shared<CallerSide<UsbBackend::EventHandler>>(std::move(target), std::move(handler))) {}
  std::shared_ptr<LibusbContext> context;
  std::shared_ptr<CallerSide<UsbBackend::EventHandler>> caller;
  // Devices reported so far, by key: only touched on the watcher's thread.
  std::shared_ptr<std::vector<UsbDeviceKey>> known = std::make_shared<std::vector<UsbDeviceKey>>();
};

// The watches libusb may call back, by the number each one hands libusb as
// its callbacks' user data. libusb may already be inside a callback when the
// callback is deregistered; so a callback takes its watch from here and holds
// it while it runs, and a registration that goes only drops its entry: it
// frees nothing that a callback still uses and waits for no thread.
// One instance, never destroyed.
class WatchTable {
 public:
  static WatchTable& shared() {
    static auto* table = new WatchTable;
    return *table;
  }
  std::uintptr_t add(std::shared_ptr<HotplugWatch> watch) {
    std::lock_guard lock(mutex_);
    const std::uintptr_t key = next_++;
    watches_.emplace(key, std::move(watch));
    return key;
  }
  std::shared_ptr<HotplugWatch> find(std::uintptr_t key) {
    std::lock_guard lock(mutex_);
    auto found = watches_.find(key);
    return found == watches_.end() ? nullptr : found->second;
  }
  void remove(std::uintptr_t key) {
    std::shared_ptr<HotplugWatch> removed;  // released outside the lock
    std::lock_guard lock(mutex_);
    if (auto found = watches_.find(key); found != watches_.end()) {
      removed = std::move(found->second);
      watches_.erase(found);
    }
  }

 private:
  std::mutex mutex_;  // guards the fields below; watching threads and libusb's callbacks
  std::map<std::uintptr_t, std::shared_ptr<HotplugWatch>> watches_;
  std::uintptr_t next_ = 1;
};

// The watch whose registration runs on this thread, collecting the devices
// present into `enumerated`.
thread_local HotplugWatch* enumerating = nullptr;
thread_local std::vector<std::shared_ptr<UsbDeviceRef>>* enumerated = nullptr;

int LIBUSB_CALL hotplugCallback(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* data) {
  const auto watch = WatchTable::shared().find(reinterpret_cast<std::uintptr_t>(data));
  if (!watch) return 0;  // its registration is gone
  auto ref = std::make_shared<LibusbDevice>(watch->context, device);
  const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
  if (enumerating == watch.get()) {
    auto& known = *watch->known;
    if (arrived && std::find(known.begin(), known.end(), ref->key()) == known.end()) {
      enumerated->push_back(ref);
      known.push_back(ref->key());
    }
    return 0;
  }
  if (auto hook = LibusbBackend::hotplugCallbackHook.load(std::memory_order_relaxed)) hook();
  watch->caller->perform([known = watch->known, ref, arrived](const UsbBackend::EventHandler& handler) {
    auto found = std::find(known->begin(), known->end(), ref->key());
    if (arrived) {
      if (found != known->end()) return;  // reported inside the registration already
      known->push_back(ref->key());
    } else if (found != known->end()) {
      known->erase(found);
    }
    handler({ref, arrived});
  });
  return 0;
}

// A watch's entry in the table and its libusb callbacks, one per kind of
// event. Destroying it never waits: see WatchTable.
class LibusbRegistration : public UsbBackend::Registration {
 public:
  explicit LibusbRegistration(std::shared_ptr<HotplugWatch> watch)
      : watch_(watch), key_(WatchTable::shared().add(std::move(watch))) {}
  ~LibusbRegistration() override {
    watch_->caller->letGo();
    for (auto callback : callbacks_) libusb_hotplug_deregister_callback(watch_->context->context(), callback);
    WatchTable::shared().remove(key_);
  }

  // Arms a callback for `events` of the vendor's devices; with
  // LIBUSB_HOTPLUG_ENUMERATE, the devices present are reported inside.
  int arm(std::uint16_t vendor, int events, int flags) {
    libusb_hotplug_callback_handle callback = 0;
    const int status = libusb_hotplug_register_callback(
        watch_->context->context(), events, flags, vendor, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        hotplugCallback, reinterpret_cast<void*>(key_), &callback);
    if (status == LIBUSB_SUCCESS) callbacks_.push_back(callback);
    return status;
  }
  HotplugWatch* watch() const { return watch_.get(); }

 private:
  const std::shared_ptr<HotplugWatch> watch_;
  const std::uintptr_t key_;
  std::vector<libusb_hotplug_callback_handle> callbacks_;
};

}  // namespace

std::atomic<void (*)()> LibusbBackend::hotplugCallbackHook{nullptr};

UsbReturn LibusbBackend::fromError(int error) {
  switch (error) {
    case LIBUSB_SUCCESS: return usbreturn::kSuccess;
    case LIBUSB_ERROR_BUSY: return usbreturn::kExclusiveAccess;
    case LIBUSB_ERROR_NO_DEVICE: return usbreturn::kNoDevice;
    case LIBUSB_ERROR_TIMEOUT: return usbreturn::kTimeout;
    case LIBUSB_ERROR_PIPE: return usbreturn::kPipeStalled;
    case LIBUSB_ERROR_INTERRUPTED: return usbreturn::kAborted;
    case LIBUSB_ERROR_ACCESS: return usbreturn::kNotPermitted;
    case LIBUSB_ERROR_NOT_FOUND: return usbreturn::kNotFound;
    case LIBUSB_ERROR_NOT_SUPPORTED: return usbreturn::kUnsupported;
    default: return error > 0 ? usbreturn::kSuccess : usbreturn::kError;
  }
}

UsbReturn LibusbBackend::fromTransferStatus(int status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return usbreturn::kSuccess;
    case LIBUSB_TRANSFER_TIMED_OUT: return usbreturn::kTimeout;
    case LIBUSB_TRANSFER_STALL: return usbreturn::kPipeStalled;
    case LIBUSB_TRANSFER_NO_DEVICE: return usbreturn::kNoDevice;
    case LIBUSB_TRANSFER_CANCELLED: return usbreturn::kAborted;
    default: return usbreturn::kError;
  }
}

UsbReturn LibusbBackend::watch(std::uint16_t vendor, const RunLoop& target, EventHandler handler,
                               std::vector<std::shared_ptr<UsbDeviceRef>>& present,
                               std::unique_ptr<Registration>& registration, WatchStep& failedStep) {
  present.clear();
  UsbReturn result = usbreturn::kSuccess;
  auto context = LibusbContext::shared(result);
  if (!context) {
    failedStep = WatchStep::kHost;
    return result;
  }
  if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    failedStep = WatchStep::kArrivals;
    return usbreturn::kUnsupported;
  }
  auto made = std::make_unique<LibusbRegistration>(
      std::make_shared<HotplugWatch>(std::move(context), target, std::move(handler)));
  // Removals first: a device that goes while the present ones are listed is
  // still heard of.
  int status = made->arm(vendor, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0);
  if (status != LIBUSB_SUCCESS) {
    failedStep = WatchStep::kRemovals;
    return fromError(status);
  }
  enumerating = made->watch();
  enumerated = &present;
  status = made->arm(vendor, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_ENUMERATE);
  enumerating = nullptr;
  enumerated = nullptr;
  if (status != LIBUSB_SUCCESS) {
    present.clear();
    failedStep = WatchStep::kArrivals;
    return fromError(status);
  }
  registration = std::move(made);
  return usbreturn::kSuccess;
}

}  // namespace platform
