#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Values/Value.h"

// Texts of socket addresses given as the bytes of a sockaddr (as resolvers
// hand them out). Bytes too short for their family give no text.
class DQSocketTools {
 public:
  // The numeric host text of one IPv4 or IPv6 address; a link-local IPv6
  // address with a scope gets "%" and its interface's name.
  static std::optional<std::string> addressStringFromAddress(const platform::Data& address);
  // The text of the first IPv4 address that has one.
  static std::optional<std::string> IPV4AddressStringFromAddresses(const std::vector<platform::Data>& addresses);
  // The texts of every IPv6 address, in order; none when there is none.
  static std::optional<std::vector<std::string>> IPV6AddressStringsFromAddresses(
      const std::vector<platform::Data>& addresses);
  // The texts of every address, in order; none when there is none.
  static std::optional<std::vector<std::string>> stringsFromAddresses(const std::vector<platform::Data>& addresses);
};
