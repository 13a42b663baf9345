#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "DQContextManager.h"
#include "DQUSBConfigurationDescriptor.h"
#include "DQUSBTraceFile.h"
#include "Errors/Error.h"
#include "RunLoop/RunLoop.h"
#include "Usb/UsbDeviceRef.h"
#include "Values/Object.h"
#include "Values/Value.h"

// One interface of a printer of the maker: opened for this client alone at
// the alternate setting asked for (the earlier one restored on close), with
// synchronous and asynchronous bulk transfers on its pipes. Pipe references
// count the endpoints of the current alternate setting from 1. Every step and
// every byte goes to the USB trace.
//
// Used on one thread (its owner's run loop). A synchronous transfer spins the
// caller's run loop until it ended, so blocks performed meanwhile may close
// the interface or drop the caller's reference: the transfer then ends as
// aborted, and the interface stays alive until it returned. Asynchronous completions
// are performed on the run loop given to scheduleInRunLoop (else the
// starting thread's).
class DQUSBInterface : public platform::Object {
 public:
  // Called once per started asynchronous transfer, on the scheduled run loop:
  // nullptr and the count (and, for a read, the bytes read), or an error and 0.
  using Completion = std::function<void(const platform::ErrorPtr& error, std::size_t count,
                                        std::span<const std::uint8_t> bytes)>;

  // Transfers asked for without a time-out still end after this long.
  static constexpr double kUntimedTransferLimit = 60.0;

  // Host values of pipe properties in the library's values; 0 when unknown.
  static std::uint8_t transferTypeForHostValue(std::uint8_t hostValue);
  static std::uint8_t directionForHostValue(std::uint8_t hostValue);

  // The interface `number` of the device, or nullptr when the device is not
  // the maker's.
  static std::shared_ptr<DQUSBInterface> interfaceWithService(
      std::shared_ptr<platform::UsbDeviceRef> device, std::shared_ptr<DQUSBConfigurationDescriptor> configuration,
      std::uint8_t number, std::uint8_t requestedAlternate);
  static bool checkVendor(const platform::UsbDeviceRef& device);

  DQUSBInterface(std::shared_ptr<platform::UsbDeviceRef> device,
                 std::shared_ptr<DQUSBConfigurationDescriptor> configuration, std::uint8_t number,
                 std::uint8_t requestedAlternate);
  ~DQUSBInterface() override;

  bool open(platform::ErrorPtr* error);
  void close();

  // Asked on the thread of a synchronous transfer whenever its run loop
  // turns: true ends the transfer before its time-out.
  using StopCondition = std::function<bool()>;

  // Synchronous transfers. A read that `stop` ended yields the bytes that
  // came, as one that timed out does; a write it ended fails as aborted.
  std::size_t readFromPipe(std::uint8_t pipe, std::uint8_t* buffer, std::size_t size, double noDataTimeout,
                           double completionTimeout, platform::ErrorPtr* error, const StopCondition& stop = nullptr);
  bool writeToPipe(std::uint8_t pipe, const std::uint8_t* buffer, std::size_t size, platform::ErrorPtr* error);
  // The same; `written` receives the bytes that went out, also when the
  // write failed part-way.
  bool writeToPipe(std::uint8_t pipe, const std::uint8_t* buffer, std::size_t size, platform::ErrorPtr* error,
                   std::size_t& written, const StopCondition& stop = nullptr);
  // Asynchronous transfers, one read and one write at a time; the transfer
  // keeps its own buffer.
  bool readFromPipe(std::uint8_t pipe, std::size_t size, platform::ErrorPtr* error, Completion completion);
  bool writeToPipe(std::uint8_t pipe, const std::uint8_t* buffer, std::size_t size, platform::ErrorPtr* error,
                   Completion completion);

  bool retrieveNumberOfPipes(std::uint8_t& count, platform::ErrorPtr* error) const;
  bool retrievePropertiesOfPipe(std::uint8_t pipe, std::uint8_t* direction, std::uint8_t* transferType,
                                std::uint16_t* maximalPacketSize, std::uint8_t* interval,
                                platform::ErrorPtr* error) const;
  bool isPipeStalled(std::uint8_t pipe) const;
  void resetPipe(std::uint8_t pipe, bool bothEnds);
  void abortPipe(std::uint8_t pipe);

  // Where asynchronous completions are performed.
  void scheduleInRunLoop(const platform::RunLoop& runLoop) { runLoop_ = runLoop; }
  void removeFromRunLoop() { runLoop_.reset(); }

  static void logUSBMessage(const std::string& message);
  static void logUSBData(const std::uint8_t* bytes, std::size_t length);
  // The bytes of one direction of a pipe, redacted as one stream.
  static void logUSBData(const std::uint8_t* bytes, std::size_t length, DQUSBTraceFile::Redaction& stream);

  std::uint8_t requestedAlternate() const { return requestedAlternate_; }
  std::uint8_t originalAlternate() const { return originalAlternate_; }
  bool isOpened() const { return opened_; }
  bool isReading() const { return reading_; }
  bool isWriting() const { return writing_; }
  const std::shared_ptr<platform::UsbDeviceRef>& service() const { return device_; }
  const std::shared_ptr<DQContextManager>& contexts() const { return contexts_; }
  std::uint8_t interfaceClass() const;
  std::uint8_t interfaceSubClass() const;
  std::uint8_t interfaceProtocol() const;
  std::uint8_t interfaceNumber() const { return number_; }

 private:
  struct Outcome {
    platform::UsbReturn result;
    platform::Data bytes;
    bool stopped = false;  // ended by its stop condition
  };
  // The descriptor of the alternate setting in use (the requested one while
  // closed).
  std::shared_ptr<DQUSBInterfaceDescriptor> currentDescriptor() const;
  std::optional<std::uint8_t> endpointOf(std::uint8_t pipe) const;
  Outcome transfer(std::uint8_t pipe, platform::Data buffer, platform::UsbMillis timeout,
                   const StopCondition& stop = nullptr);
  bool startAsync(std::uint8_t pipe, platform::Data buffer, bool input, platform::ErrorPtr* error,
                  Completion completion);
  static void finishAsync(const std::shared_ptr<DQContextReference>& reference, platform::UsbReturn result,
                          const platform::Data& bytes);

  const std::shared_ptr<platform::UsbDeviceRef> device_;
  const std::shared_ptr<DQUSBConfigurationDescriptor> configuration_;
  const std::uint8_t number_;
  const std::uint8_t requestedAlternate_;
  std::uint8_t originalAlternate_ = 0;
  std::uint8_t currentAlternate_;
  bool opened_ = false;
  bool reading_ = false;
  bool writing_ = false;
  std::uint64_t generation_ = 0;  // raised by close: older completions are stale
  std::shared_ptr<platform::UsbDeviceHandle> handle_;
  // The trace follows the bytes written and the bytes read as two streams.
  DQUSBTraceFile::Redaction writeTrace_;
  DQUSBTraceFile::Redaction readTrace_;
  std::optional<platform::RunLoop> runLoop_;
  const std::shared_ptr<DQContextManager> contexts_;
};
