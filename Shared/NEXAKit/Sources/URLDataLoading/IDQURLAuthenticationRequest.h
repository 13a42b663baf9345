#pragma once

#include <optional>
#include <string>

#include "Http/HttpMessage.h"
#include "Values/Object.h"
#include "Credentials/ProtectionSpace.h"

// What a stream makes of a server's demand for credentials (a 401): the
// protection space to find credentials for, and the way to write them into
// the next request.
class IDQURLAuthenticationRequest : public platform::Object {
 public:
  // Writes the credentials into `request` (its "Authorization" field); false,
  // and the request untouched, when it cannot (no password, for one).
  virtual bool applyCredentialsForRequest(platform::HttpMessage& request, const std::optional<std::string>& userName,
                                          const std::optional<std::string>& password) = 0;
  virtual const platform::ProtectionSpace& protectionSpace() const = 0;
};
