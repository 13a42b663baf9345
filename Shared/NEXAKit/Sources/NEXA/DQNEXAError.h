#pragma once

#include <cstdint>
#include <string>

#include "Errors/Error.h"

// The NEXA error domain and its codes.
class DQNEXAError {
 public:
  enum Code : std::int64_t {
    kDependencyMissing = 1,      // a dependency is missing or no operation could be made
    kNoPath = 2,                 // no URL path, no descriptor, or 404
    kResultNotBuilt = 3,         // wrong result class, no consumer, loading error
    kUnexpectedStatus = 4,       // a status other than 200, 401 and 404
    kParseFailure = 5,           // the result class could not make the result
    kDependencyWithoutResult = 6,
    kCannotRequest = 7,          // no request could be made; the printer does not serve NEXA
    kInterfaceExclusive = 8,     // the USB interface is held by another client
    kInaccessible = 9,           // the printer is inaccessible
    kNotResolved = 10,           // the printer has not been resolved (yet)
    kUnauthorized = 11,          // 401 at the end of the exchange
  };

  // "com.zarn.NEXAKit.error"
  static const char* domain() { return "com.zarn.NEXAKit.error"; }
  // "RequestName": the user-info key naming the request.
  static const char* requestNameErrorInfoKey() { return "RequestName"; }
  // An error of the domain without user info.
  static platform::ErrorPtr error(std::int64_t code) { return platform::Error::make(domain(), code); }
  static bool isNEXAError(const platform::ErrorPtr& error, std::int64_t code) {
    return error && error->is(domain(), code);
  }
};
