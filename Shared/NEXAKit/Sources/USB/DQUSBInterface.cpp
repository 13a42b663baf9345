#include "DQUSBInterface.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "DQLog.h"
#include "DQUSBConstatns.h"
#include "DQUSBInterfaceError.h"
#include "DQUSBTraceFile.h"
#include "Text/Format.h"

using platform::UsbReturn;
namespace usbreturn = platform::usbreturn;

namespace {

std::int32_t signedCode(UsbReturn code) { return static_cast<std::int32_t>(code); }

void fail(platform::ErrorPtr* error, UsbReturn code) {
  if (error) *error = DQUSBInterfaceError::errorWithRawCode(code);
}

bool isTimeout(UsbReturn code) { return code == usbreturn::kTimeout || code == usbreturn::kTransactionTimeout; }

// The result as the trace shows it.
std::string resultText(UsbReturn code) {
  return isTimeout(code) ? std::string("timeout") : std::to_string(signedCode(code));
}

// What an asynchronous transfer needs at its completion.
class AsyncContext : public platform::Object {
 public:
  AsyncContext(std::weak_ptr<DQUSBInterface> owner, std::uint64_t generation, bool input,
               DQUSBInterface::Completion callback)
      : owner(std::move(owner)), generation(generation), input(input), callback(std::move(callback)) {}
  const std::weak_ptr<DQUSBInterface> owner;
  const std::uint64_t generation;
  const bool input;
  const DQUSBInterface::Completion callback;
};

}  // namespace

std::uint8_t DQUSBInterface::transferTypeForHostValue(std::uint8_t hostValue) {
  switch (hostValue) {
    case 0: return 1;
    case 1: return 2;
    case 2: return 3;
    case 3: return 4;
    case 255: return 5;
    default: return 0;
  }
}

std::uint8_t DQUSBInterface::directionForHostValue(std::uint8_t hostValue) {
  switch (hostValue) {
    case 1: return 1;
    case 0: return 2;
    case 2: return 3;
    case 3: return 4;
    default: return 0;
  }
}

bool DQUSBInterface::checkVendor(const platform::UsbDeviceRef& device) {
  return device.vendorId() == DQUSBConstatns::ZarnVendorID();
}

std::shared_ptr<DQUSBInterface> DQUSBInterface::interfaceWithService(
    std::shared_ptr<platform::UsbDeviceRef> device, std::shared_ptr<DQUSBConfigurationDescriptor> configuration,
    std::uint8_t number, std::uint8_t requestedAlternate) {
  if (!device || !configuration || !checkVendor(*device)) return nullptr;
  return std::make_shared<DQUSBInterface>(std::move(device), std::move(configuration), number, requestedAlternate);
}

DQUSBInterface::DQUSBInterface(std::shared_ptr<platform::UsbDeviceRef> device,
                               std::shared_ptr<DQUSBConfigurationDescriptor> configuration, std::uint8_t number,
                               std::uint8_t requestedAlternate)
    : device_(std::move(device)),
      configuration_(std::move(configuration)),
      number_(number),
      requestedAlternate_(requestedAlternate),
      currentAlternate_(requestedAlternate),
      contexts_(DQContextManager::make()) {}

DQUSBInterface::~DQUSBInterface() { close(); }

void DQUSBInterface::logUSBMessage(const std::string& message) { DQUSBTraceFile::shared().write(message); }

void DQUSBInterface::logUSBData(const std::uint8_t* bytes, std::size_t length) {
  if (!bytes || length == 0) return;
  DQUSBTraceFile::shared().write(std::span(bytes, length));
}

void DQUSBInterface::logUSBData(const std::uint8_t* bytes, std::size_t length, DQUSBTraceFile::Redaction& stream) {
  if (!bytes || length == 0) return;
  DQUSBTraceFile::shared().write(std::span(bytes, length), stream);
}

bool DQUSBInterface::open(platform::ErrorPtr* error) {
  if (opened_) return true;
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBInterface] - Opening USB interface");
  logUSBMessage("\nOpening USB interface");
  std::shared_ptr<platform::UsbDeviceHandle> handle;
  UsbReturn result = device_->open(handle);
  if (result == usbreturn::kSuccess) result = handle->claimInterface(number_);
  if (result != usbreturn::kSuccess) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBInterface] - Failed to open USB interface [err:%d]",
                                 signedCode(result));
    logUSBMessage("\nFailed to open USB interface");
    fail(error, result);
    return false;
  }
  std::uint8_t original = 0;
  result = handle->alternateSetting(number_, original);
  if (result != usbreturn::kSuccess) {
    logUSBMessage("\nFailed to get USB interface alternate");
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBInterface] Failed to get USB interface alternate [err:%d]",
                                 signedCode(result));
    handle->releaseInterface(number_);
    fail(error, result);
    return false;
  }
  originalAlternate_ = original;
  if (original == requestedAlternate_) {
    logUSBMessage("\nNo need to change USB interface alternate");
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBInterface] - No need to change USB interface alternate");
  } else {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelInfo, "[DQUSBInterface] - Changing USB interface alternate to %d",
                                 requestedAlternate_);
    result = handle->setAlternateSetting(number_, requestedAlternate_);
    if (result != usbreturn::kSuccess) {
      logUSBMessage("\nFailed to changing USB interface alternate");
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                   "[DQUSBInterface] Failed to changing USB interface alternate to %d, [err:%d]",
                                   requestedAlternate_, signedCode(result));
      handle->releaseInterface(number_);
      fail(error, result);
      return false;
    }
    logUSBMessage("\nUSB interface is opened");
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBInterface] - USB interface is opened");
  }
  currentAlternate_ = requestedAlternate_;
  handle_ = std::move(handle);
  writeTrace_ = {};
  readTrace_ = {};
  opened_ = true;
  return true;
}

void DQUSBInterface::close() {
  if (!opened_) return;
  logUSBMessage("\nClosing USB interface");
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBInterface] Closing USB interface");
  // Transfers still running end as aborted before the interface goes.
  if (auto descriptor = currentDescriptor())
    for (const auto& endpoint : descriptor->endpoints()) handle_->abortEndpoint(endpoint->endpointAddress());
  if (originalAlternate_ != requestedAlternate_) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelInfo, "[DQUSBInterface] - Restoring USB interface alternate to %d",
                                 originalAlternate_);
    const UsbReturn result = handle_->setAlternateSetting(number_, originalAlternate_);
    if (result != usbreturn::kSuccess) {
      logUSBMessage("\nFailed to restore alternate");
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError,
                                   "[DQUSBInterface] - Failed to restore USB interface alternate to %d [err = %d]",
                                   originalAlternate_, signedCode(result));
    } else {
      currentAlternate_ = originalAlternate_;
    }
  }
  const UsbReturn result = handle_->releaseInterface(number_);
  if (result != usbreturn::kSuccess) {
    logUSBMessage("\nFailed to close USB interface");
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBInterface] - Failed to close USB interface [err = %d]",
                                 signedCode(result));
  } else {
    logUSBMessage("\nUSB interface closed");
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBInterface] - USB interface closed");
  }
  handle_.reset();
  opened_ = false;
  reading_ = false;
  writing_ = false;
  ++generation_;
  contexts_->removeAllContexts();
}

std::shared_ptr<DQUSBInterfaceDescriptor> DQUSBInterface::currentDescriptor() const {
  for (const auto& descriptor : configuration_->interfaceDescriptorsForInterfaceNumber(number_))
    if (descriptor->alternateSetting() == currentAlternate_) return descriptor;
  return nullptr;
}

std::optional<std::uint8_t> DQUSBInterface::endpointOf(std::uint8_t pipe) const {
  auto descriptor = currentDescriptor();
  if (!descriptor || pipe == 0 || pipe > descriptor->endpoints().size()) return std::nullopt;
  return descriptor->endpoints()[pipe - 1]->endpointAddress();
}

std::uint8_t DQUSBInterface::interfaceClass() const {
  auto descriptor = currentDescriptor();
  return descriptor ? descriptor->interfaceClass() : 0;
}
std::uint8_t DQUSBInterface::interfaceSubClass() const {
  auto descriptor = currentDescriptor();
  return descriptor ? descriptor->interfaceSubClass() : 0;
}
std::uint8_t DQUSBInterface::interfaceProtocol() const {
  auto descriptor = currentDescriptor();
  return descriptor ? descriptor->interfaceProtocol() : 0;
}

bool DQUSBInterface::retrieveNumberOfPipes(std::uint8_t& count, platform::ErrorPtr* error) const {
  auto descriptor = currentDescriptor();
  if (!opened_ || !descriptor) {
    fail(error, usbreturn::kNotFound);
    return false;
  }
  count = static_cast<std::uint8_t>(descriptor->endpoints().size());
  return true;
}

bool DQUSBInterface::retrievePropertiesOfPipe(std::uint8_t pipe, std::uint8_t* direction, std::uint8_t* transferType,
                                              std::uint16_t* maximalPacketSize, std::uint8_t* interval,
                                              platform::ErrorPtr* error) const {
  auto descriptor = currentDescriptor();
  if (!opened_ || !descriptor || pipe == 0 || pipe > descriptor->endpoints().size()) {
    fail(error, usbreturn::kNotFound);
    return false;
  }
  const auto& endpoint = descriptor->endpoints()[pipe - 1];
  if (direction) *direction = directionForHostValue((endpoint->endpointAddress() & 0x80) ? 1 : 0);
  if (transferType) *transferType = transferTypeForHostValue(endpoint->attributes() & 0x03);
  if (maximalPacketSize) *maximalPacketSize = endpoint->maxPacketSize() & 0x7FF;
  if (interval) *interval = endpoint->interval();
  return true;
}

bool DQUSBInterface::isPipeStalled(std::uint8_t pipe) const {
  auto endpoint = endpointOf(pipe);
  return handle_ && endpoint && handle_->hostStalled(*endpoint);
}

void DQUSBInterface::resetPipe(std::uint8_t pipe, bool) {
  // The host clears a halt at both ends of the pipe and on the host side in
  // one step, whatever was asked.
  if (auto endpoint = endpointOf(pipe); handle_ && endpoint) handle_->clearHalt(*endpoint);
}

void DQUSBInterface::abortPipe(std::uint8_t pipe) {
  if (auto endpoint = endpointOf(pipe); handle_ && endpoint) handle_->abortEndpoint(*endpoint);
}

DQUSBInterface::Outcome DQUSBInterface::transfer(std::uint8_t pipe, platform::Data buffer,
                                                 platform::UsbMillis timeout, const StopCondition& stop) {
  auto endpoint = endpointOf(pipe);
  if (!opened_ || !endpoint) return {usbreturn::kNotFound, {}};
  if (stop && stop()) return {usbreturn::kAborted, {}, true};
  struct Wait {
    std::mutex mutex;  // guards the fields below; this thread and a back-end thread
    bool done = false;
    Outcome outcome{usbreturn::kAborted, {}};
  };
  // The handle and the wait stay alive while the run loop spins, whatever the
  // blocks performed meanwhile do to this interface. A transfer that ended
  // at once is taken without a turn of the run loop.
  auto handle = handle_;
  auto wait = std::make_shared<Wait>();
  const auto here = platform::RunLoop::current();
  const UsbReturn started =
      handle->submitBulk(*endpoint, std::move(buffer), timeout, [wait, here](UsbReturn result, platform::Data bytes) {
        {
          std::lock_guard lock(wait->mutex);
          wait->outcome = {result, std::move(bytes)};
          wait->done = true;
        }
        here.wakeUp();
      });
  if (started != usbreturn::kSuccess) return {started, {}};
  const auto done = [&] {
    std::lock_guard lock(wait->mutex);
    return wait->done;
  };
  const bool ended = here.runUntil([&] { return done() || (stop && stop()); }, timeout + std::chrono::seconds(5));
  const bool stopped = ended && !done();
  if (!done()) {
    handle->abortEndpoint(*endpoint);
    here.runUntil(done, std::chrono::seconds(5));
  }
  std::lock_guard lock(wait->mutex);
  Outcome outcome = std::move(wait->outcome);
  outcome.stopped = stopped;
  return outcome;
}

std::size_t DQUSBInterface::readFromPipe(std::uint8_t pipe, std::uint8_t* buffer, std::size_t size,
                                         double noDataTimeout, double completionTimeout, platform::ErrorPtr* error,
                                         const StopCondition& stop) {
  const auto keep = weak_from_this().lock();  // blocks run during the transfer may drop the last reference
  const bool timed = noDataTimeout > 0 && completionTimeout > 0;
  // The host has one time-out per transfer: the shorter of the two.
  const auto timeout = platform::usbMillis(timed ? std::min(noDataTimeout, completionTimeout) : kUntimedTransferLimit);
  auto outcome = transfer(pipe, platform::Data(size), timeout, stop);
  const std::size_t count = std::min(outcome.bytes.size(), size);
  if (count > 0) std::memcpy(buffer, outcome.bytes.data(), count);
  if (timed) {
    logUSBMessage(platform::format("\n--- Read (%.2f/%.2f): Result:%@, count: %d\n", noDataTimeout,
                                   completionTimeout, resultText(outcome.result), count));
  } else {
    logUSBMessage(platform::format("\n--- Read (w/t): Result:%@, count: %d", resultText(outcome.result), count));
  }
  logUSBData(buffer, count, readTrace_);
  if (outcome.result == usbreturn::kSuccess || isTimeout(outcome.result) || outcome.stopped) return count;
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBInterface] - Error reading from pipe: %d",
                               signedCode(outcome.result));
  fail(error, outcome.result);
  return 0;
}

bool DQUSBInterface::writeToPipe(std::uint8_t pipe, const std::uint8_t* buffer, std::size_t size,
                                 platform::ErrorPtr* error) {
  std::size_t written = 0;
  return writeToPipe(pipe, buffer, size, error, written);
}

bool DQUSBInterface::writeToPipe(std::uint8_t pipe, const std::uint8_t* buffer, std::size_t size,
                                 platform::ErrorPtr* error, std::size_t& written, const StopCondition& stop) {
  const auto keep = weak_from_this().lock();  // blocks run during the transfer may drop the last reference
  // The caller's buffer is read once, here: blocks run during the transfer
  // may free it.
  const platform::Data bytes(buffer, buffer + size);
  auto outcome = transfer(pipe, bytes, platform::usbMillis(kUntimedTransferLimit), stop);
  written = std::min(outcome.bytes.size(), size);
  // A write that timed out is a failure: the printer did not take all bytes.
  logUSBMessage(platform::format("\n--- Write: Result:%@, count: %d\n", resultText(outcome.result), size));
  // The trace shows the whole buffer, but its redaction goes on from the
  // bytes that went out: a retry sends the rest again.
  const auto before = writeTrace_;
  logUSBData(bytes.data(), size, writeTrace_);
  if (written < size) {
    writeTrace_ = before;
    DQUSBTraceFile::follow(writeTrace_, std::span(bytes.data(), written));
  }
  if (outcome.result == usbreturn::kSuccess && written == size) return true;
  const UsbReturn code = outcome.result == usbreturn::kSuccess ? usbreturn::kError : outcome.result;
  if (error) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBInterface] - Error writing to pipe: %d", signedCode(code));
    *error = DQUSBInterfaceError::errorWithRawCode(code);
  }
  return false;
}

bool DQUSBInterface::readFromPipe(std::uint8_t pipe, std::size_t size, platform::ErrorPtr* error,
                                  Completion completion) {
  if (reading_) {
    if (error) *error = DQUSBInterfaceError::errorWithCode(DQUSBInterfaceError::kReadInProgress);
    return false;
  }
  reading_ = startAsync(pipe, platform::Data(size), true, error, std::move(completion));
  return reading_;
}

bool DQUSBInterface::writeToPipe(std::uint8_t pipe, const std::uint8_t* buffer, std::size_t size,
                                 platform::ErrorPtr* error, Completion completion) {
  if (writing_) {
    if (error) *error = DQUSBInterfaceError::errorWithCode(DQUSBInterfaceError::kWriteInProgress);
    return false;
  }
  writing_ = startAsync(pipe, platform::Data(buffer, buffer + size), false, error, std::move(completion));
  return writing_;
}

bool DQUSBInterface::startAsync(std::uint8_t pipe, platform::Data buffer, bool input, platform::ErrorPtr* error,
                                Completion completion) {
  auto endpoint = endpointOf(pipe);
  if (!opened_ || !endpoint) {
    fail(error, usbreturn::kNotFound);
    return false;
  }
  auto context = std::make_shared<AsyncContext>(sharedAs<DQUSBInterface>(), generation_, input, std::move(completion));
  auto reference = contexts_->addContextReferenceWithContext(platform::Value(context));
  const auto target = runLoop_.value_or(platform::RunLoop::current());
  // The completion keeps the tag alive until it ran; it reaches this
  // interface only through the tag's weak owner.
  const UsbReturn result = handle_->submitBulk(*endpoint, std::move(buffer), platform::UsbMillis(0), target,
                                               [reference](UsbReturn code, std::vector<std::uint8_t> bytes) {
                                                 finishAsync(reference, code, bytes);
                                               });
  if (result != usbreturn::kSuccess) {
    DQContextManager::removeContextReference(reference);
    fail(error, result);
    return false;
  }
  return true;
}

void DQUSBInterface::finishAsync(const std::shared_ptr<DQContextReference>& reference, UsbReturn result,
                                 const platform::Data& bytes) {
  auto context = DQContextManager::removeContextReference(reference).objectAs<AsyncContext>();
  if (!context) return;
  auto self = context->owner.lock();
  if (!self || self->generation_ != context->generation) return;
  bool& busy = context->input ? self->reading_ : self->writing_;
  if (!busy) return;
  busy = false;
  if (result == usbreturn::kSuccess) {
    context->callback(nullptr, bytes.size(), context->input ? std::span(bytes) : std::span<const std::uint8_t>());
  } else {
    context->callback(DQUSBInterfaceError::errorWithRawCode(result), 0, {});
  }
}
