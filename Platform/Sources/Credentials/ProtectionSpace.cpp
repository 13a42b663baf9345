#include "Credentials/ProtectionSpace.h"

#include <functional>

#include "Text/Format.h"
#include "Values/Value.h"

namespace platform {

ProtectionSpace::ProtectionSpace(std::string host, int port, std::string protocol, std::optional<std::string> realm,
                                 std::string authenticationMethod)
    : host_(std::move(host)),
      port_(port),
      protocol_(std::move(protocol)),
      realm_(std::move(realm)),
      authenticationMethod_(std::move(authenticationMethod)) {}

bool ProtectionSpace::operator==(const ProtectionSpace& other) const {
  return host_ == other.host_ && port_ == other.port_ && protocol_ == other.protocol_ && realm_ == other.realm_ &&
         authenticationMethod_ == other.authenticationMethod_;
}

bool ProtectionSpace::isEqual(const Object& other) const {
  auto space = dynamic_cast<const ProtectionSpace*>(&other);
  return space && *this == *space;
}

std::size_t ProtectionSpace::hash() const {
  return std::hash<std::string>()(host_) ^ (static_cast<std::size_t>(port_) << 1) ^
         std::hash<std::string>()(authenticationMethod_);
}

std::string ProtectionSpace::description() const {
  const Value realm = realm_ ? Value(*realm_) : Value();
  return format("<ProtectionSpace: %@:%d %@ %@ %@>", host_, port_, protocol_, realm, authenticationMethod_);
}

}  // namespace platform
