#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "RunLoop/RunLoop.h"
#include "Usb/UsbReturn.h"

namespace platform {

// The eight bytes of a control request's setup stage; wLength is the size of
// the data span handed with it.
struct UsbControlSetup {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
};

// One open of a USB device: control requests on the default pipe, interface
// claims and alternate settings, and bulk transfers. Made by
// UsbDeviceRef::open, owned by std::shared_ptr; back ends implement it.
//
// Threads: every call may come from any thread; a synchronous call blocks
// only its caller. Destroying the handle cancels its transfers, waits until
// their completions ran, releases its claims and closes the device.
class UsbDeviceHandle : public std::enable_shared_from_this<UsbDeviceHandle> {
 public:
  // Called once per transfer with its result and the bytes moved (IN: the
  // bytes read; OUT: the buffer cut to the bytes written). On a back-end
  // thread: the libusb event thread, the simulator's timer thread, or the
  // thread that submitted or aborted. It must not block.
  using RawCompletion = std::function<void(UsbReturn result, std::vector<std::uint8_t> bytes)>;
  // The same, performed on the run loop given to submitBulk.
  using Completion = std::function<void(UsbReturn result, std::vector<std::uint8_t> bytes)>;

  virtual ~UsbDeviceHandle() = default;

  // A control request; `done` receives the bytes moved in the data stage.
  virtual UsbReturn control(const UsbControlSetup& setup, std::span<std::uint8_t> data, std::size_t& done,
                            UsbMillis timeout) = 0;
  // The current configuration value (0: unconfigured).
  virtual UsbReturn configuration(std::uint8_t& value) = 0;
  // Claims an interface for this handle alone; a kernel driver bound to it is
  // detached and bound again at release. kExclusiveAccess when another client
  // holds it.
  virtual UsbReturn claimInterface(std::uint8_t number) = 0;
  virtual UsbReturn releaseInterface(std::uint8_t number) = 0;
  // GET_INTERFACE and SET_INTERFACE of a claimed interface.
  virtual UsbReturn alternateSetting(std::uint8_t number, std::uint8_t& alternate) = 0;
  virtual UsbReturn setAlternateSetting(std::uint8_t number, std::uint8_t alternate) = 0;
  // Whether the host saw the endpoint stall since its last clearHalt.
  virtual bool hostStalled(std::uint8_t endpoint) const = 0;
  // Clears a halt at both ends of the pipe and the host's stalled state.
  virtual UsbReturn clearHalt(std::uint8_t endpoint) = 0;
  // Starts a bulk transfer: OUT sends `buffer`, IN reads up to buffer.size()
  // bytes. `timeout` of 0 waits without end. The completion runs exactly once
  // when the result is success; a failed start calls nothing.
  virtual UsbReturn submitBulk(std::uint8_t endpoint, std::vector<std::uint8_t> buffer, UsbMillis timeout,
                               RawCompletion completion) = 0;
  // Ends the endpoint's outstanding transfers with kAborted; their
  // completions still run.
  virtual void abortEndpoint(std::uint8_t endpoint) = 0;

  // A synchronous bulk transfer through submitBulk: blocks the caller until it
  // ended. IN bytes land in `data`; `done` is the count moved, also on a
  // time-out. abortEndpoint from another thread ends it with kAborted.
  UsbReturn bulk(std::uint8_t endpoint, std::span<std::uint8_t> data, std::size_t& done, UsbMillis timeout);
  // submitBulk with the completion performed on `target`. The handle stays
  // alive until the transfer ended.
  UsbReturn submitBulk(std::uint8_t endpoint, std::vector<std::uint8_t> buffer, UsbMillis timeout,
                       const RunLoop& target, Completion completion);

  static bool isInput(std::uint8_t endpoint) { return (endpoint & 0x80) != 0; }
};

}  // namespace platform
