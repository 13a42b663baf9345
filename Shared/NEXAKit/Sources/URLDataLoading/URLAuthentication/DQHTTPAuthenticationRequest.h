#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "DQAuthenticateHeader.h"
#include "Http/HttpMessage.h"
#include "IDQURLAuthenticationRequest.h"
#include "Credentials/ProtectionSpace.h"
#include "Values/Url.h"

// The authentication request of a network stream's 401 answer: HTTP Basic
// (RFC 7617) or Digest (RFC 7616 with MD5 or SHA-256, their "-sess"
// variants, and qop "auth" or none). Of what the server offers, the strongest
// is used: Digest with SHA-256, then with MD5, then Basic.
//
// Used on one thread at a time.
class DQHTTPAuthenticationRequest : public IDQURLAuthenticationRequest {
 public:
  // Makes a client nonce for Digest; random by default. Called on the thread
  // that applies the credentials.
  using NonceSource = std::function<std::string()>;

  // The request for a 401 `response` to a request for `url`; nullptr when
  // it offers no scheme we can answer.
  static std::shared_ptr<DQHTTPAuthenticationRequest> authenticationRequestWithResponse(
      const platform::HttpMessage& response, const platform::Url& url, NonceSource clientNonce = {});

  // Sets "Authorization". Needs a password; a missing user name counts as
  // "". Each Digest answer counts one more use of the server's nonce.
  bool applyCredentialsForRequest(platform::HttpMessage& request, const std::optional<std::string>& userName,
                                  const std::optional<std::string>& password) override;
  const platform::ProtectionSpace& protectionSpace() const override { return protectionSpace_; }

  enum class Algorithm { Basic, MD5, MD5Session, SHA256, SHA256Session };
  Algorithm algorithm() const { return algorithm_; }

  DQHTTPAuthenticationRequest(platform::ProtectionSpace space, DQAuthenticateHeader::Challenge challenge,
                              Algorithm algorithm, NonceSource clientNonce);

 private:
  std::string digestAuthorization(const platform::HttpMessage& request, const std::string& user,
                                  const std::string& password);

  platform::ProtectionSpace protectionSpace_;
  DQAuthenticateHeader::Challenge challenge_;
  Algorithm algorithm_;
  NonceSource clientNonce_;
  std::uint32_t nonceCount_ = 0;
};
