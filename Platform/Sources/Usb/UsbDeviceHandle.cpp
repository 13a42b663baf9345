#include "Usb/UsbDeviceHandle.h"

#include <condition_variable>
#include <mutex>

namespace platform {

namespace {

// Where a synchronous transfer waits for its completion.
struct SyncWait {
  std::mutex mutex;  // guards the fields below; the caller and a back-end thread
  std::condition_variable ended;
  bool done = false;
  UsbReturn result = usbreturn::kSuccess;
  std::vector<std::uint8_t> bytes;
};

}  // namespace

UsbReturn UsbDeviceHandle::bulk(std::uint8_t endpoint, std::span<std::uint8_t> data, std::size_t& done,
                                UsbMillis timeout) {
  done = 0;
  auto wait = std::make_shared<SyncWait>();
  std::vector<std::uint8_t> buffer = isInput(endpoint) ? std::vector<std::uint8_t>(data.size())
                                                       : std::vector<std::uint8_t>(data.begin(), data.end());
  const UsbReturn started =
      submitBulk(endpoint, std::move(buffer), timeout, [wait](UsbReturn result, std::vector<std::uint8_t> bytes) {
        std::lock_guard lock(wait->mutex);
        wait->result = result;
        wait->bytes = std::move(bytes);
        wait->done = true;
        wait->ended.notify_all();
      });
  if (started != usbreturn::kSuccess) return started;
  std::unique_lock lock(wait->mutex);
  wait->ended.wait(lock, [&] { return wait->done; });
  done = std::min(wait->bytes.size(), data.size());
  if (isInput(endpoint)) std::copy_n(wait->bytes.begin(), done, data.begin());
  return wait->result;
}

UsbReturn UsbDeviceHandle::submitBulk(std::uint8_t endpoint, std::vector<std::uint8_t> buffer, UsbMillis timeout,
                                      const RunLoop& target, Completion completion) {
  auto self = shared_from_this();
  return submitBulk(endpoint, std::move(buffer), timeout,
                    [self = std::move(self), target, completion = std::move(completion)](
                        UsbReturn result, std::vector<std::uint8_t> bytes) mutable {
                      // The handle moves on to the target's thread: it is
                      // never released on a back-end thread that its
                      // destruction would wait for.
                      target.perform([self = std::move(self), completion = std::move(completion), result,
                                      bytes = std::move(bytes)]() mutable { completion(result, std::move(bytes)); });
                    });
}

}  // namespace platform
