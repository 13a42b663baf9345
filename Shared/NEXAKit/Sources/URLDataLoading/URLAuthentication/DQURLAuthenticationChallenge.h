#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "Values/Object.h"
#include "Credentials/ProtectionSpace.h"

// One request for credentials: the protection space the printer named, the
// user name proposed, and the answer once someone completes or cancels it.
// Thread-safe: an operation's thread waits on it while the main thread
// answers.
class DQURLAuthenticationChallenge : public platform::Object {
 public:
  // Answers true when the waiting operation is cancelled; called on the
  // waiting thread, with no lock held.
  using CancellationBlock = std::function<bool()>;

  DQURLAuthenticationChallenge(platform::ProtectionSpace protectionSpace, std::string operationName,
                               std::optional<std::string> proposedUserName = std::nullopt);

  // Stores the values that are given and marks the challenge completed;
  // wakes every waiter. Any thread.
  void completeChallengeWithUserName(const std::optional<std::string>& userName,
                                     const std::optional<std::string>& password);
  // Clears user name and password and marks the challenge cancelled; wakes
  // every waiter. Any thread.
  void cancellChallenge();

  // Waits until the challenge is completed (true) or cancelled (false), or
  // `cancelled` answers true (false). Asks `cancelled` between short slices
  // of waiting, and at once after interruptWaits().
  bool waitForCompletionUntil(const CancellationBlock& cancelled);
  // Makes every waiter ask its cancellation block again now, for a caller
  // that has just cancelled it. Any thread.
  void interruptWaits();

  const platform::ProtectionSpace& protectionSpace() const { return protectionSpace_; }
  const std::string& operationName() const { return operationName_; }
  std::optional<std::string> userName() const;
  std::optional<std::string> password() const;
  bool isCompleted() const;
  bool isCancelled() const;

 private:
  const platform::ProtectionSpace protectionSpace_;
  const std::string operationName_;
  mutable std::mutex mutex_;  // guards the fields below; any thread
  std::condition_variable answered_;
  std::optional<std::string> userName_;
  std::optional<std::string> password_;
  bool completed_ = false;
  bool cancelled_ = false;
  std::uint64_t interruptions_ = 0;
};
