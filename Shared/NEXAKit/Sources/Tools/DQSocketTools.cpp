#include "DQSocketTools.h"

#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// The family of the address, or AF_UNSPEC when the bytes cannot hold one of
// the families we read.
int familyOf(const platform::Data& address) {
  if (address.size() < sizeof(sa_family_t)) return AF_UNSPEC;
  sockaddr_storage storage{};
  std::memcpy(&storage, address.data(), std::min(address.size(), sizeof(storage)));
  if (storage.ss_family == AF_INET && address.size() >= sizeof(sockaddr_in)) return AF_INET;
  if (storage.ss_family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) return AF_INET6;
  return AF_UNSPEC;
}

std::optional<std::vector<std::string>> texts(const std::vector<platform::Data>& addresses, bool onlyIPv6) {
  std::vector<std::string> strings;
  for (const auto& address : addresses) {
    if (onlyIPv6 && familyOf(address) != AF_INET6) continue;
    if (auto text = DQSocketTools::addressStringFromAddress(address)) strings.push_back(std::move(*text));
  }
  if (strings.empty()) return std::nullopt;
  return strings;
}

}  // namespace

std::optional<std::string> DQSocketTools::addressStringFromAddress(const platform::Data& address) {
  const int family = familyOf(address);
  if (family == AF_UNSPEC) return std::nullopt;
  // Copied into aligned storage: the bytes may sit anywhere.
  sockaddr_storage storage{};
  const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  std::memcpy(&storage, address.data(), length);
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof(host), nullptr, 0,
                  NI_NUMERICHOST) != 0) {
    return std::nullopt;
  }
  std::string text(host);
  if (family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    // glibc names the zone itself; this covers a resolver that does not.
    if (IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr) && v6->sin6_scope_id != 0 && text.find('%') == std::string::npos) {
      char name[IF_NAMESIZE];
      text += "%";
      text += if_indextoname(v6->sin6_scope_id, name) ? std::string(name) : std::to_string(v6->sin6_scope_id);
    }
  }
  return text;
}

std::optional<std::string> DQSocketTools::IPV4AddressStringFromAddresses(const std::vector<platform::Data>& addresses) {
  for (const auto& address : addresses) {
    if (familyOf(address) != AF_INET) continue;
    if (auto text = addressStringFromAddress(address)) return text;
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> DQSocketTools::IPV6AddressStringsFromAddresses(
    const std::vector<platform::Data>& addresses) {
  return texts(addresses, true);
}

std::optional<std::vector<std::string>> DQSocketTools::stringsFromAddresses(
    const std::vector<platform::Data>& addresses) {
  return texts(addresses, false);
}
