#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "Credentials/CredentialStorage.h"
#include "DQURLAuthenticationChallenge.h"
#include "Values/Object.h"
#include "Credentials/ProtectionSpace.h"

// Obtains credentials for the printers' challenges, one authentication at a
// time: an operation begins an authentication, asks for a challenge for each
// 401 it meets and ends the authentication with its outcome. Credentials
// that worked are kept per protection space for later authentications.
//
// Credentials kept here or stored in the system are offered for the first
// challenge of an authentication only; a further challenge within the same
// authentication means they failed, so they are dropped and the obtain block
// is asked instead.
//
// Thread-safe; operations call it from their own threads.
class DQURLAuthenticationManager : public platform::Object {
 public:
  // Asked for credentials with the challenge and the number of times it was
  // asked in this authentication (from 1); it answers later through the
  // challenge. Called on the thread that asked for the challenge, with no
  // lock held.
  using ObtainCredentialBlock =
      std::function<void(std::shared_ptr<DQURLAuthenticationChallenge> challenge, std::uint64_t retryNumber)>;
  // Answers true when the waiting operation is cancelled; called on the
  // waiting thread, with no lock held.
  using CancellationBlock = std::function<bool()>;

  // `storage` holds the credentials the system keeps (the process's by default).
  explicit DQURLAuthenticationManager(ObtainCredentialBlock obtainCredentialBlock,
                                      std::shared_ptr<platform::CredentialStorage> storage = nullptr);

  // Waits until no other authentication is in progress, then begins one:
  // true. False when `cancelled` answers true while waiting (asked between
  // short slices of waiting).
  bool beginAuthenticationUntil(const CancellationBlock& cancelled);
  // The challenge for a 401 of `protectionSpace`: completed at once from
  // credentials kept here or stored in the system (first challenge of the
  // authentication only), else passed to the obtain block. Nullptr when
  // credentials must be obtained and there is no block.
  std::shared_ptr<DQURLAuthenticationChallenge> challengeForProtectionSpace(
      const platform::ProtectionSpace& protectionSpace, const std::string& operationName);
  // Ends the authentication in progress. On success the last challenge,
  // when it holds a password, is kept for its protection space; a failure
  // keeps nothing. Wakes one waiting beginner.
  void endAuthentication(bool success);

  // "protocol-host-method-realm", the key of kept credentials.
  static std::string keyForProtectionSpace(const platform::ProtectionSpace& protectionSpace);

 private:
  const ObtainCredentialBlock obtainCredentialBlock_;
  const std::shared_ptr<platform::CredentialStorage> storage_;

  // Guards the fields below; any thread. Never held while the obtain block
  // runs; the credential storage and challenges take their own leaf locks.
  std::mutex mutex_;
  std::condition_variable authenticationEnded_;
  bool authenticationInProgress_ = false;
  std::unordered_map<std::string, std::shared_ptr<DQURLAuthenticationChallenge>> obtainedCredentials_;
  std::optional<platform::ProtectionSpace> lastProtectionSpace_;
  std::shared_ptr<DQURLAuthenticationChallenge> lastChallenge_;
  std::uint64_t retryCounter_ = 0;
};
