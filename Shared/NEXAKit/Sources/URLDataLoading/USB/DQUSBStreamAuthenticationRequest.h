#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Http/HttpMessage.h"
#include "IDQURLAuthenticationRequest.h"
#include "Credentials/ProtectionSpace.h"

// A printer's demand for credentials over USB (a 401 with a Basic challenge),
// as the caller's authentication machinery sees it: the protection space is
// host = the printer's USB serial number, port 0, protocol "usb", the
// challenge's realm (or the serial number) and its scheme as received. Only
// HTTP Basic is answered over USB. Immutable.
class DQUSBStreamAuthenticationRequest : public IDQURLAuthenticationRequest {
 public:
  // The request for a response's "WWW-Authenticate" field; nullptr when the
  // device has no serial number, there is no response, or no challenge of it
  // is Basic.
  static std::shared_ptr<DQUSBStreamAuthenticationRequest> authenticationInfoWithDevice(
      std::string_view deviceSerialNumber, const platform::HttpMessage* response);

  explicit DQUSBStreamAuthenticationRequest(platform::ProtectionSpace protectionSpace)
      : protectionSpace_(std::move(protectionSpace)) {}

  // Sets "Authorization: Basic base64(user:password)"; a missing user name is
  // empty. False, and the request untouched, without a password.
  bool applyCredentialsForRequest(platform::HttpMessage& request, const std::optional<std::string>& userName,
                                  const std::optional<std::string>& password) override;
  const platform::ProtectionSpace& protectionSpace() const override { return protectionSpace_; }

  // Base64 of the text's UTF-8 bytes, padded, without line breaks.
  static std::string base64Encode(std::string_view text);

  // Reads the challenges of a "WWW-Authenticate" value: commas separate
  // parameters and challenges, and the scheme is the token that starts a
  // challenge. Hands out the Basic challenge's scheme and realm when there is
  // one, else the first challenge's; false when the value holds no challenge.
  static bool parseAuthInfo(std::string_view value, std::string* method, std::optional<std::string>* realm);

 private:
  platform::ProtectionSpace protectionSpace_;
};
