#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "Usb/UsbDeviceHandle.h"
#include "Usb/UsbReturn.h"

namespace platform {

// A USB printer simulated in the process, for tests and demonstrations where
// no printer is attached: its descriptors, strings and device IDs, the claim
// state of each interface, bulk pipes and injected faults. SimUsbBus plugs it
// in; the handles it opens talk to it.
//
// Bulk pipes: bytes written to an interface's OUT endpoint go to that
// interface's output handler (nothing keeps them otherwise); bytes given to
// pushInput are what its IN endpoint answers. An HTTP server plugs in as an
// output handler that parses the request and pushes its response.
//
// Thread-safe: one mutex guards the state; handlers and completions are
// called without it. A timer thread of its own ends IN transfers at their
// time-out and paces slow answers.
class VirtualPrinter : public std::enable_shared_from_this<VirtualPrinter> {
 public:
  using Clock = std::chrono::steady_clock;

  struct Endpoint {
    std::uint8_t address = 0x01;   // bit 7 set: IN
    std::uint8_t attributes = 2;   // bulk
    std::uint16_t maxPacketSize = 512;
  };
  struct Alternate {
    std::uint8_t alternate = 0;
    std::uint8_t interfaceClass = 7;
    std::uint8_t subclass = 1;
    std::uint8_t protocol = 2;
    std::uint8_t stringIndex = 0;
    std::vector<Endpoint> endpoints;
  };
  struct Interface {
    std::uint8_t number = 0;
    std::vector<Alternate> alternates;
    bool kernelDriver = false;  // a kernel driver is bound until claimed
  };
  struct Description {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint8_t manufacturerIndex = 1;
    std::uint8_t productIndex = 2;
    std::uint8_t serialNumberIndex = 3;
    std::map<std::uint8_t, std::string> strings;  // served as UTF-16LE
    std::map<std::uint8_t, std::vector<std::uint8_t>> rawStrings;  // whole answers, for malformed ones
    std::uint8_t configurationValue = 1;
    std::vector<Interface> interfaces;
    // Bytes of vendor descriptors appended to the configuration.
    std::size_t configurationPadding = 0;
    // The answer to GET_DEVICE_DESCRIPTOR instead of the one made from the
    // fields above, for malformed ones.
    std::optional<std::vector<std::uint8_t>> rawDeviceDescriptor;
    // The answer to GET_DESCRIPTOR 0x21; none: the request stalls.
    std::optional<std::vector<std::uint8_t>> deviceInfoDescriptor;
    // GET_DEVICE_ID answers by (interface, alternate); see deviceIDAnswer.
    std::map<std::pair<std::uint8_t, std::uint8_t>, std::vector<std::uint8_t>> deviceIDs;
  };

  // A GET_DEVICE_ID answer: the big-endian length and the text. IEEE 1284
  // counts the two length bytes; some printers do not.
  enum class LengthField { CountsItself, TextOnly };
  static std::vector<std::uint8_t> deviceIDAnswer(std::string_view text, LengthField field);
  // A printer with one interface: alternate 0 is 7-1-2, alternate 1 is 7-1-4
  // (IPP over USB, so it answers the 0x21 class descriptor), each with bulk
  // OUT 0x01 and IN 0x81 of `maxPacket`.
  static Description standardDescription(std::uint16_t vendorId, std::uint16_t maxPacket = 512);

  explicit VirtualPrinter(Description description);
  ~VirtualPrinter();
  VirtualPrinter(const VirtualPrinter&) = delete;
  VirtualPrinter& operator=(const VirtualPrinter&) = delete;

  const Description& description() const { return description_; }
  std::vector<std::uint8_t> deviceDescriptor() const;
  std::vector<std::uint8_t> configurationDescriptor() const;

  // Faults and state, any thread.
  // Another client holds the interface until `until`.
  void holdByOtherClient(std::uint8_t interface, Clock::time_point until);
  // The next `times` transfers on the endpoint stall.
  void stallEndpoint(std::uint8_t endpoint, int times);
  // The next `times` bulk OUT transfers fail with `result` after the printer
  // took the first `taken` bytes of each (the host reports them sent).
  void failNextWrites(int times, UsbReturn result, std::size_t taken = 0);
  // Each IN transfer waits `delay`, then answers at most `bytes` (0: one
  // packet).
  void setDripDelay(Clock::duration delay, std::size_t bytes = 0);
  // Each bulk OUT transfer ends `delay` after it was submitted, on the timer
  // thread (0: at once, on the submitting thread).
  void setWriteDelay(Clock::duration delay);
  // Asked before every control request; a result other than kSuccess fails it.
  void setRequestFilter(std::function<UsbReturn(const UsbControlSetup&)> filter);
  // Called with the bytes of every OUT transfer of the interface, on the
  // writing thread, without a lock held; it may call pushInput.
  void setOutputHandler(std::uint8_t interface, std::function<void(std::span<const std::uint8_t>)> handler);
  // Bytes the interface's IN endpoint answers next (also stale bytes queued
  // before anyone opened it).
  void pushInput(std::uint8_t interface, std::span<const std::uint8_t> bytes);
  // From now on every request fails with kNoDevice; transfers end so.
  void disconnect();

  bool isConnected() const;
  bool kernelDriverBound(std::uint8_t interface) const;
  bool isClaimed(std::uint8_t interface) const;
  std::uint8_t currentAlternate(std::uint8_t interface) const;
  int setInterfaceRequests() const;
  std::size_t bytesWritten(std::uint8_t interface) const;
  // The time-out the host gave the last bulk transfer on the endpoint (0:
  // none, or no transfer yet).
  UsbMillis lastTimeout(std::uint8_t endpoint) const;

  // The device side of one open handle (used by the simulated bus).
  std::shared_ptr<UsbDeviceHandle> open();

 private:
  friend class VirtualPrinterHandle;
  struct Pending {
    std::uint64_t id = 0;
    std::uint64_t owner = 0;
    std::uint8_t endpoint = 0;
    std::uint8_t interface = 0;
    std::size_t size = 0;
    std::optional<Clock::time_point> deadline;
    Clock::time_point readyAt;
    UsbDeviceHandle::RawCompletion completion;
    std::vector<std::uint8_t> written;  // OUT: the bytes to hand over at readyAt
  };
  struct Finished {
    UsbDeviceHandle::RawCompletion completion;
    UsbReturn result;
    std::vector<std::uint8_t> bytes;
    // OUT: the interface's output handler, given the bytes before the writer
    // hears they were sent.
    std::function<void(std::span<const std::uint8_t>)> output = nullptr;
  };
  struct InterfaceState {
    std::uint8_t alternate = 0;
    std::uint64_t claimedBy = 0;
    bool kernelDriver = false;
    std::optional<Clock::time_point> otherClientUntil;
    std::deque<std::uint8_t> input;
    std::size_t written = 0;
    std::function<void(std::span<const std::uint8_t>)> output;
  };

  // Requests of the handle `owner`.
  UsbReturn control(std::uint64_t owner, const UsbControlSetup& setup, std::span<std::uint8_t> data,
                    std::size_t& done);
  UsbReturn claim(std::uint64_t owner, std::uint8_t interface);
  UsbReturn release(std::uint64_t owner, std::uint8_t interface);
  UsbReturn alternate(std::uint64_t owner, std::uint8_t interface, std::uint8_t& alternate);
  UsbReturn setAlternate(std::uint64_t owner, std::uint8_t interface, std::uint8_t alternate);
  bool hostStalled(std::uint8_t endpoint) const;
  UsbReturn clearHalt(std::uint8_t endpoint);
  UsbReturn submit(std::uint64_t owner, std::uint8_t endpoint, std::vector<std::uint8_t> buffer, UsbMillis timeout,
                   UsbDeviceHandle::RawCompletion completion);
  void abort(std::uint64_t owner, std::optional<std::uint8_t> endpoint);
  void closed(std::uint64_t owner);

  // With the lock held: the interface whose current alternate has the
  // endpoint and which `owner` claimed; nullopt when the pipe is not live.
  std::optional<std::uint8_t> liveInterface(std::uint64_t owner, std::uint8_t endpoint) const;
  const Alternate* alternateOf(std::uint8_t interface, std::uint8_t alternate) const;
  InterfaceState* state(std::uint8_t interface);
  const InterfaceState* state(std::uint8_t interface) const;
  std::uint16_t packetSize(std::uint8_t endpoint) const;
  // With the lock held: ends the pending transfers that can end now and
  // moves them to `finished`.
  void settle(Clock::time_point now, std::vector<Finished>& finished);
  static void run(std::vector<Finished>& finished);
  void timerLoop();

  const Description description_;
  mutable std::mutex mutex_;  // guards everything below; any thread
  std::condition_variable changed_;
  std::map<std::uint8_t, InterfaceState> interfaces_;
  std::map<std::uint8_t, int> stalls_;
  std::map<std::uint8_t, bool> stalled_;
  int failingWrites_ = 0;
  UsbReturn failingResult_ = usbreturn::kError;
  std::size_t failingTaken_ = 0;
  Clock::duration drip_{};
  std::size_t dripBytes_ = 0;
  Clock::duration writeDelay_{};
  std::map<std::uint8_t, UsbMillis> timeouts_;
  std::function<UsbReturn(const UsbControlSetup&)> requestFilter_;
  std::deque<Pending> pending_;
  bool connected_ = true;
  bool stopping_ = false;
  int setInterfaceRequests_ = 0;
  std::uint64_t nextId_ = 1;
  std::thread timer_;
};

}  // namespace platform
