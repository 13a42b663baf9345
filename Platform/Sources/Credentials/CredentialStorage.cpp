#include "Credentials/CredentialStorage.h"

#include <algorithm>

namespace platform {

std::shared_ptr<CredentialStorage> CredentialStorage::shared() {
  static const auto storage = std::make_shared<CredentialStorage>();
  return storage;
}

std::vector<Credential> CredentialStorage::credentialsForProtectionSpace(const ProtectionSpace& space) const {
  std::lock_guard lock(mutex_);
  for (const auto& [known, credentials] : spaces_) {
    if (known == space) return credentials;
  }
  return {};
}

void CredentialStorage::setCredential(const Credential& credential, const ProtectionSpace& space) {
  std::lock_guard lock(mutex_);
  auto entry = std::find_if(spaces_.begin(), spaces_.end(), [&](const auto& e) { return e.first == space; });
  if (entry == spaces_.end()) {
    spaces_.emplace_back(space, std::vector<Credential>{credential});
    return;
  }
  auto& credentials = entry->second;
  auto same = std::find_if(credentials.begin(), credentials.end(),
                           [&](const Credential& c) { return c.user == credential.user; });
  if (same == credentials.end()) {
    credentials.push_back(credential);
  } else {
    *same = credential;
  }
}

void CredentialStorage::removeCredential(const Credential& credential, const ProtectionSpace& space) {
  std::lock_guard lock(mutex_);
  for (auto& [known, credentials] : spaces_) {
    if (known == space) std::erase_if(credentials, [&](const Credential& c) { return c.user == credential.user; });
  }
}

}  // namespace platform
