#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "DQUSBInterface.h"
#include "Errors/Error.h"
#include "RunLoop/RunLoop.h"
#include "Values/Object.h"

// The bulk pair of an interface: the last bulk-in and bulk-out pipes of its
// alternate setting, stalls cleared at open. Reads are clipped to the input
// packet size; writes go out in packet-sized pieces. Used on the interface's
// thread.
//
// A synchronous transfer spins the run loop (see DQUSBInterface): blocks run
// meanwhile may close the pipe or drop it. A write in pieces then ends with
// the aborted code, and the pipe stays alive until it returned.
class DQUSBPipe : public platform::Object {
 public:
  explicit DQUSBPipe(std::weak_ptr<DQUSBInterface> interface) : interface_(std::move(interface)) {}
  ~DQUSBPipe() override { close(); }

  // Opens the interface and picks the pipes. A pipe whose packet size is 0
  // is never picked (it could move no byte). Without both pipes the error
  // handed out is nullptr.
  bool open(platform::ErrorPtr* error);
  void close();

  // Only while open: where the interface's asynchronous completions go.
  bool scheduleInRunLoop(const platform::RunLoop& runLoop);
  bool removeFromRunLoop(const platform::RunLoop& runLoop);

  // Ends early, with the bytes that came, once `stop` answers true.
  std::size_t readToBuffer(std::uint8_t* buffer, std::size_t size, double noDataTimeout, double completionTimeout,
                           platform::ErrorPtr* error, const DQUSBInterface::StopCondition& stop = nullptr);
  bool writeBuffer(const std::uint8_t* buffer, std::size_t size, platform::ErrorPtr* error);
  // The same; `written` receives the bytes that went out, also when a piece
  // failed, so that a retry sends only the rest. Once `stop` answers true
  // the piece in flight ends as aborted and no more is sent.
  bool writeBuffer(const std::uint8_t* buffer, std::size_t size, platform::ErrorPtr* error, std::size_t& written,
                   const DQUSBInterface::StopCondition& stop = nullptr);
  bool readToBuffer(std::size_t size, platform::ErrorPtr* error, DQUSBInterface::Completion completion);
  bool writeBuffer(const std::uint8_t* buffer, std::size_t size, platform::ErrorPtr* error,
                   DQUSBInterface::Completion completion);

  std::shared_ptr<DQUSBInterface> interface() const { return interface_.lock(); }
  bool isOpened() const { return opened_; }
  std::uint8_t inputPipe() const { return inputPipe_; }
  std::uint8_t outputPipe() const { return outputPipe_; }
  std::size_t maxInputSize() const { return maxInputSize_; }
  std::size_t maxOutputSize() const { return maxOutputSize_; }
  bool isReading() const;
  bool isWriting() const;

 private:
  std::weak_ptr<DQUSBInterface> interface_;
  bool opened_ = false;
  std::uint8_t inputPipe_ = 0;
  std::uint8_t outputPipe_ = 0;
  std::size_t maxInputSize_ = 0;
  std::size_t maxOutputSize_ = 0;
};
