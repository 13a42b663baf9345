#include "DQURLAuthenticationManager.h"

#include <chrono>

#include "Text/Format.h"
#include "Values/Value.h"

namespace {
// How long a waiting beginner sleeps before it asks its cancellation block again.
constexpr auto kPollSlice = std::chrono::milliseconds(50);
}  // namespace

DQURLAuthenticationManager::DQURLAuthenticationManager(ObtainCredentialBlock obtainCredentialBlock,
                                                       std::shared_ptr<platform::CredentialStorage> storage)
    : obtainCredentialBlock_(std::move(obtainCredentialBlock)),
      storage_(storage ? std::move(storage) : platform::CredentialStorage::shared()) {}

std::string DQURLAuthenticationManager::keyForProtectionSpace(const platform::ProtectionSpace& space) {
  const platform::Value realm = space.realm() ? platform::Value(*space.realm()) : platform::Value();
  return platform::format("%@-%@-%@-%@", space.protocol(), space.host(), space.authenticationMethod(), realm);
}

bool DQURLAuthenticationManager::beginAuthenticationUntil(const CancellationBlock& cancelled) {
  std::unique_lock lock(mutex_);
  while (authenticationInProgress_) {
    lock.unlock();
    const bool stop = cancelled && cancelled();
    lock.lock();
    if (stop) return false;
    authenticationEnded_.wait_for(lock, kPollSlice, [this] { return !authenticationInProgress_; });
  }
  authenticationInProgress_ = true;
  return true;
}

std::shared_ptr<DQURLAuthenticationChallenge> DQURLAuthenticationManager::challengeForProtectionSpace(
    const platform::ProtectionSpace& protectionSpace, const std::string& operationName) {
  const std::string key = keyForProtectionSpace(protectionSpace);
  std::shared_ptr<DQURLAuthenticationChallenge> challenge;
  std::uint64_t retryNumber = 0;
  {
    std::lock_guard lock(mutex_);
    const bool firstOfAuthentication = lastChallenge_ == nullptr;
    if (auto kept = obtainedCredentials_.find(key); kept != obtainedCredentials_.end()) {
      if (firstOfAuthentication) {
        lastProtectionSpace_ = protectionSpace;
        lastChallenge_ = kept->second;
        return kept->second;
      }
      // Asked again within one authentication: the kept credentials failed.
      obtainedCredentials_.erase(kept);
    }
    challenge = std::make_shared<DQURLAuthenticationChallenge>(
        protectionSpace, operationName, lastChallenge_ ? lastChallenge_->userName() : std::nullopt);
    lastProtectionSpace_ = protectionSpace;
    lastChallenge_ = challenge;
    if (firstOfAuthentication) {
      for (const auto& credential : storage_->credentialsForProtectionSpace(protectionSpace)) {
        if (!credential.hasPassword()) continue;
        challenge->completeChallengeWithUserName(credential.user, credential.password);
        return challenge;
      }
    }
    retryNumber = ++retryCounter_;
  }
  if (!obtainCredentialBlock_) return nullptr;
  obtainCredentialBlock_(challenge, retryNumber);
  return challenge;
}

void DQURLAuthenticationManager::endAuthentication(bool success) {
  {
    std::lock_guard lock(mutex_);
    if (success && lastChallenge_ && lastProtectionSpace_ && lastChallenge_->password()) {
      obtainedCredentials_[keyForProtectionSpace(*lastProtectionSpace_)] = lastChallenge_;
    }
    lastProtectionSpace_.reset();
    lastChallenge_.reset();
    // The retry number counts the requests of one authentication, and starts
    // again with the next. Kept credentials that failed are dropped and the
    // obtain block asked instead; it must see that ask as a first one (1),
    // since the user has not been asked yet in this authentication, and a
    // higher number only when the user's own answer was refused. A counter
    // that ran on across authentications would show every later first ask as
    // a retry after wrong credentials.
    retryCounter_ = 0;
    authenticationInProgress_ = false;
  }
  authenticationEnded_.notify_one();
}
