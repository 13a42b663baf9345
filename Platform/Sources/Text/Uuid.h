#pragma once

#include <string>

namespace platform {

// Universally unique identifiers (random, version 4 where the system has a
// good random source).
class Uuid {
 public:
  // A new identifier in the canonical 36-character upper-case form,
  // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
  static std::string newString();
};

}  // namespace platform
