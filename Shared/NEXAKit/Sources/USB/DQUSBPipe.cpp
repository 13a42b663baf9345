#include "DQUSBPipe.h"

#include <algorithm>

#include "DQLog.h"
#include "DQUSBInterfaceError.h"

namespace {

constexpr std::uint8_t kDirectionIn = 1;   // the library's values
constexpr std::uint8_t kDirectionOut = 2;
constexpr std::uint8_t kTransferBulk = 3;

}  // namespace

bool DQUSBPipe::open(platform::ErrorPtr* error) {
  if (opened_) return true;
  auto interface = interface_.lock();
  if (!interface) return false;
  platform::ErrorPtr failure;
  std::uint8_t count = 0;
  if (interface->open(&failure) && interface->retrieveNumberOfPipes(count, &failure) && count > 0) {
    std::uint8_t input = 0, output = 0;
    std::size_t inputSize = 0, outputSize = 0;
    for (std::uint8_t pipe = 1; pipe <= count; ++pipe) {
      std::uint8_t direction = 0, type = 0;
      std::uint16_t packet = 0;
      if (!interface->retrievePropertiesOfPipe(pipe, &direction, &type, &packet, nullptr, nullptr)) continue;
      if (type != kTransferBulk || packet == 0) continue;
      if (direction == kDirectionOut) output = pipe, outputSize = packet;
      if (direction == kDirectionIn) input = pipe, inputSize = packet;
    }
    if (input != 0 && output != 0) {
      inputPipe_ = input, outputPipe_ = output;
      maxInputSize_ = inputSize, maxOutputSize_ = outputSize;
      for (auto pipe : {inputPipe_, outputPipe_})
        if (interface->isPipeStalled(pipe)) interface->resetPipe(pipe, true);
      opened_ = true;
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBPipe] - Opened with interface: %@", *interface);
      return true;
    }
  }
  interface->close();
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBPipe] - Failed to open with interface: %@", *interface);
  if (error) *error = failure;
  return false;
}

void DQUSBPipe::close() {
  if (!opened_) return;
  if (auto interface = interface_.lock()) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBPipe] - Closing interface: %@", *interface);
    interface->abortPipe(inputPipe_);
    interface->abortPipe(outputPipe_);
    interface->resetPipe(inputPipe_, true);
    interface->resetPipe(outputPipe_, true);
    interface->close();
  }
  opened_ = false;
}

bool DQUSBPipe::scheduleInRunLoop(const platform::RunLoop& runLoop) {
  auto interface = interface_.lock();
  if (!opened_ || !interface) return false;
  interface->scheduleInRunLoop(runLoop);
  return true;
}

bool DQUSBPipe::removeFromRunLoop(const platform::RunLoop&) {
  auto interface = interface_.lock();
  if (!opened_ || !interface) return false;
  interface->removeFromRunLoop();
  return true;
}

std::size_t DQUSBPipe::readToBuffer(std::uint8_t* buffer, std::size_t size, double noDataTimeout,
                                    double completionTimeout, platform::ErrorPtr* error,
                                    const DQUSBInterface::StopCondition& stop) {
  auto interface = interface_.lock();
  if (!opened_ || !interface) return 0;
  return interface->readFromPipe(inputPipe_, buffer, std::min(size, maxInputSize_), noDataTimeout, completionTimeout,
                                 error, stop);
}

bool DQUSBPipe::writeBuffer(const std::uint8_t* buffer, std::size_t size, platform::ErrorPtr* error) {
  std::size_t written = 0;
  return writeBuffer(buffer, size, error, written);
}

bool DQUSBPipe::writeBuffer(const std::uint8_t* buffer, std::size_t size, platform::ErrorPtr* error,
                            std::size_t& written, const DQUSBInterface::StopCondition& stop) {
  written = 0;
  const auto keep = weak_from_this().lock();  // blocks run during a piece may drop the last reference
  auto interface = interface_.lock();
  if (!opened_ || !interface || size == 0) return false;
  const std::size_t piece = std::min(size, maxOutputSize_);
  while (written < size) {
    // Closed by a block run during the piece before: the rest is not sent.
    if (!opened_) {
      if (error) *error = DQUSBInterfaceError::errorWithRawCode(platform::usbreturn::kAborted);
      return false;
    }
    std::size_t moved = 0;
    const bool sent =
        interface->writeToPipe(outputPipe_, buffer + written, std::min(piece, size - written), error, moved, stop);
    written += moved;
    if (!sent) return false;
  }
  return true;
}

bool DQUSBPipe::readToBuffer(std::size_t size, platform::ErrorPtr* error, DQUSBInterface::Completion completion) {
  auto interface = interface_.lock();
  if (!opened_ || !interface) return false;
  return interface->readFromPipe(inputPipe_, size, error, std::move(completion));
}

bool DQUSBPipe::writeBuffer(const std::uint8_t* buffer, std::size_t size, platform::ErrorPtr* error,
                            DQUSBInterface::Completion completion) {
  auto interface = interface_.lock();
  if (!opened_ || !interface) return false;
  return interface->writeToPipe(outputPipe_, buffer, size, error, std::move(completion));
}

bool DQUSBPipe::isReading() const {
  auto interface = interface_.lock();
  return interface && interface->isReading();
}

bool DQUSBPipe::isWriting() const {
  auto interface = interface_.lock();
  return interface && interface->isWriting();
}
