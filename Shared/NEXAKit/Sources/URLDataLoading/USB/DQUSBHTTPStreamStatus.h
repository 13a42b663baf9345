#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "Values/Object.h"

// The timing and cancellation state of one exchange over a USB printer
// interface. Used on the stream's thread.
class DQUSBHTTPStreamStatus : public platform::Object {
 public:
  using Clock = std::chrono::steady_clock;
  using CancellationBlock = std::function<bool()>;

  explicit DQUSBHTTPStreamStatus(CancellationBlock cancellationBlock = nullptr)
      : cancellationBlock_(std::move(cancellationBlock)) {}

  // The first time only: the response reading starts now.
  void handleRequestSendCompletion();
  // Seconds since the response reading started; 0 before.
  double responseReadingTime() const;
  // The cancellation block's answer; false without one.
  bool isCancelled() const { return cancellationBlock_ && cancellationBlock_(); }
  void resetReadingStartDate() { responseReadingStartDate_ = Clock::now(); }

  bool isRequestSent() const { return requestSent_; }
  std::uint64_t responseBytesReaden() const { return responseBytesReaden_; }
  void addResponseBytes(std::uint64_t count) { responseBytesReaden_ += count; }

 private:
  const CancellationBlock cancellationBlock_;
  bool requestSent_ = false;
  std::uint64_t responseBytesReaden_ = 0;
  std::optional<Clock::time_point> responseReadingStartDate_;
};
