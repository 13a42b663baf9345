#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "Credentials/Credential.h"
#include "Credentials/ProtectionSpace.h"

namespace platform {

// Credentials kept for protection spaces, as the platform's credential
// storage, in memory only. Credentials of a space keep the order in which
// their users were first stored. Thread-safe.
class CredentialStorage {
 public:
  // The process's storage (the one the system would keep).
  static std::shared_ptr<CredentialStorage> shared();

  // The credentials of the space, in the order they were first stored.
  std::vector<Credential> credentialsForProtectionSpace(const ProtectionSpace& space) const;
  // Stores the credential; one of the same user is replaced in its place.
  void setCredential(const Credential& credential, const ProtectionSpace& space);
  // Removes the credential of that user from the space.
  void removeCredential(const Credential& credential, const ProtectionSpace& space);

 private:
  mutable std::mutex mutex_;  // guards spaces_; taken by any thread, never while calling out
  std::vector<std::pair<ProtectionSpace, std::vector<Credential>>> spaces_;
};

}  // namespace platform
