#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "Values/Object.h"

namespace platform {

// Where a server asks for credentials, as the platform's protection spaces:
// host, port, protocol, realm (none for a challenge that names none) and
// authentication method. Immutable; equal when all five are equal.
class ProtectionSpace : public Object {
 public:
  static constexpr const char* kAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
  static constexpr const char* kAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
  static constexpr const char* kAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";

  ProtectionSpace(std::string host, int port, std::string protocol, std::optional<std::string> realm,
                  std::string authenticationMethod);

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  const std::string& protocol() const { return protocol_; }
  const std::optional<std::string>& realm() const { return realm_; }
  const std::string& authenticationMethod() const { return authenticationMethod_; }

  bool operator==(const ProtectionSpace& other) const;
  bool isEqual(const Object& other) const override;
  std::size_t hash() const override;
  // "<ProtectionSpace: host:port protocol realm method>"
  std::string description() const override;

 private:
  std::string host_;
  int port_;
  std::string protocol_;
  std::optional<std::string> realm_;
  std::string authenticationMethod_;
};

}  // namespace platform
