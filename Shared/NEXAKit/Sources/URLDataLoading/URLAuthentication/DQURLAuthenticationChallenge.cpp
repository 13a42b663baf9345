#include "DQURLAuthenticationChallenge.h"

#include <chrono>

namespace {
// How long a wait sleeps before it asks its cancellation block again.
constexpr auto kPollSlice = std::chrono::milliseconds(50);
}  // namespace

DQURLAuthenticationChallenge::DQURLAuthenticationChallenge(platform::ProtectionSpace protectionSpace,
                                                           std::string operationName,
                                                           std::optional<std::string> proposedUserName)
    : protectionSpace_(std::move(protectionSpace)),
      operationName_(std::move(operationName)),
      userName_(std::move(proposedUserName)) {}

void DQURLAuthenticationChallenge::completeChallengeWithUserName(const std::optional<std::string>& userName,
                                                                 const std::optional<std::string>& password) {
  {
    std::lock_guard lock(mutex_);
    if (userName) userName_ = userName;
    if (password) password_ = password;
    completed_ = true;
  }
  answered_.notify_all();
}

void DQURLAuthenticationChallenge::cancellChallenge() {
  {
    std::lock_guard lock(mutex_);
    userName_.reset();
    password_.reset();
    cancelled_ = true;
  }
  answered_.notify_all();
}

bool DQURLAuthenticationChallenge::waitForCompletionUntil(const CancellationBlock& cancelled) {
  std::unique_lock lock(mutex_);
  while (true) {
    if (completed_) return true;
    if (cancelled_) return false;
    // An interruption after this point, even while the block is asked,
    // ends the wait below.
    const std::uint64_t seen = interruptions_;
    // The block is the caller's: never ask it under our lock.
    lock.unlock();
    const bool stop = cancelled && cancelled();
    lock.lock();
    if (stop) return false;
    answered_.wait_for(lock, kPollSlice, [&] { return completed_ || cancelled_ || interruptions_ != seen; });
  }
}

void DQURLAuthenticationChallenge::interruptWaits() {
  {
    std::lock_guard lock(mutex_);
    ++interruptions_;
  }
  answered_.notify_all();
}

std::optional<std::string> DQURLAuthenticationChallenge::userName() const {
  std::lock_guard lock(mutex_);
  return userName_;
}

std::optional<std::string> DQURLAuthenticationChallenge::password() const {
  std::lock_guard lock(mutex_);
  return password_;
}

bool DQURLAuthenticationChallenge::isCompleted() const {
  std::lock_guard lock(mutex_);
  return completed_;
}

bool DQURLAuthenticationChallenge::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}
