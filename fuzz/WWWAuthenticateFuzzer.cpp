// Feeds arbitrary "WWW-Authenticate" values to the challenge parser and to the
// authentication requests built from a 401 answer (network and USB), then
// answers them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "DQAuthenticateHeader.h"
#include "DQHTTPAuthenticationRequest.h"
#include "DQUSBStreamAuthenticationRequest.h"
#include "Http/HttpMessage.h"
#include "Values/Url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  for (const auto& challenge : DQAuthenticateHeader::parse(value)) {
    (void)challenge.parameter("realm");
    (void)DQAuthenticateHeader::quoted(challenge.scheme);
  }
  auto response = platform::HttpMessage::makeResponse(401, "Unauthorized");
  if (!response->addHeaderField("WWW-Authenticate", value)) return 0;
  static const auto usbURL = *platform::Url::fromString("nexausb://CN12345/");
  if (auto usb = DQUSBStreamAuthenticationRequest::authenticationInfoWithDevice("CN12345", response.get())) {
    auto request = platform::HttpMessage::makeRequest("GET", usbURL);
    if (!usb->applyCredentialsForRequest(*request, std::nullopt, std::string("secret"))) __builtin_trap();
  }
  static const auto url = *platform::Url::fromString("http://printer:8080/DevMgmt/Doc.xml?x=1");
  auto authentication = DQHTTPAuthenticationRequest::authenticationRequestWithResponse(
      *response, url, [] { return std::string("0a4f113b"); });
  if (!authentication) return 0;
  auto request = platform::HttpMessage::makeRequest("GET", url);
  authentication->applyCredentialsForRequest(*request, std::string("admin"), std::string("secret"));
  (void)request->serializedMessage();
  return 0;
}
