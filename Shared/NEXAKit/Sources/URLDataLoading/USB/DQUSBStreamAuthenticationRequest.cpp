#include "DQUSBStreamAuthenticationRequest.h"

#include <glib.h>

#include <algorithm>

#include "Text/Base64.h"
#include "DQAuthenticateHeader.h"
#include "Text/Format.h"

std::shared_ptr<DQUSBStreamAuthenticationRequest> DQUSBStreamAuthenticationRequest::authenticationInfoWithDevice(
    std::string_view deviceSerialNumber, const platform::HttpMessage* response) {
  if (deviceSerialNumber.empty() || !response) return nullptr;
  const auto challenge = response->headerField("Www-Authenticate");
  std::string method;
  std::optional<std::string> realm;
  if (!challenge || !parseAuthInfo(*challenge, &method, &realm)) return nullptr;
  if (g_ascii_strcasecmp(method.c_str(), "Basic") != 0) return nullptr;
  const std::string host(deviceSerialNumber);
  return std::make_shared<DQUSBStreamAuthenticationRequest>(
      platform::ProtectionSpace(host, 0, "usb", realm ? *realm : host, method));
}

bool DQUSBStreamAuthenticationRequest::applyCredentialsForRequest(platform::HttpMessage& request,
                                                                  const std::optional<std::string>& userName,
                                                                  const std::optional<std::string>& password) {
  if (!password) return false;
  const std::string encoded = base64Encode(platform::format("%@:%@", userName.value_or(""), *password));
  return request.setHeaderField("Authorization", platform::format("%@ %@", "Basic", encoded));
}

std::string DQUSBStreamAuthenticationRequest::base64Encode(std::string_view text) {
  return platform::Base64::encode(text);
}

bool DQUSBStreamAuthenticationRequest::parseAuthInfo(std::string_view value, std::string* method,
                                                     std::optional<std::string>* realm) {
  const auto challenges = DQAuthenticateHeader::parse(value);
  if (challenges.empty()) return false;
  const auto basic = std::find_if(challenges.begin(), challenges.end(),
                                  [](const auto& challenge) { return challenge.hasScheme("Basic"); });
  const auto& chosen = basic != challenges.end() ? *basic : challenges.front();
  if (method) *method = chosen.scheme;
  if (realm) {
    // "Basic realm=" reads as a token68; a printer means an empty realm.
    if (chosen.token68 && g_ascii_strcasecmp(chosen.token68->c_str(), "realm=") == 0) {
      *realm = "";
    } else {
      *realm = chosen.parameter("realm");
    }
  }
  return true;
}
