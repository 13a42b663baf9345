#pragma once

#include <optional>
#include <string>

namespace platform {

// A user name with its password, as the platform's URL credentials; a
// credential without a password cannot answer a challenge.
struct Credential {
  std::string user;
  std::optional<std::string> password;

  bool hasPassword() const { return password.has_value(); }
  bool operator==(const Credential& other) const = default;
};

}  // namespace platform
