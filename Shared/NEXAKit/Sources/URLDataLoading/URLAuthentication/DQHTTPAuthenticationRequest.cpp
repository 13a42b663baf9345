#include "DQHTTPAuthenticationRequest.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>

#include "Text/Base64.h"
#include "Text/Uuid.h"

using platform::ProtectionSpace;

namespace {

using Algorithm = DQHTTPAuthenticationRequest::Algorithm;

// The algorithm of a Digest challenge we can answer, or none.
std::optional<Algorithm> digestAlgorithm(const DQAuthenticateHeader::Challenge& challenge) {
  if (!challenge.parameter("nonce")) return std::nullopt;
  if (auto qop = challenge.parameter("qop")) {
    // A list such as "auth,auth-int"; we speak "auth" only.
    bool auth = false;
    std::string_view rest = *qop;
    while (!auth && !rest.empty()) {
      const std::size_t comma = std::min(rest.find(','), rest.size());
      std::string_view option = rest.substr(0, comma);
      rest.remove_prefix(std::min(comma + 1, rest.size()));
      while (!option.empty() && (option.front() == ' ' || option.front() == '\t')) option.remove_prefix(1);
      while (!option.empty() && (option.back() == ' ' || option.back() == '\t')) option.remove_suffix(1);
      auth = option.size() == 4 && g_ascii_strncasecmp(option.data(), "auth", 4) == 0;
    }
    if (!auth) return std::nullopt;
  }
  const std::string name = challenge.parameter("algorithm").value_or("MD5");
  if (g_ascii_strcasecmp(name.c_str(), "MD5") == 0) return Algorithm::MD5;
  if (g_ascii_strcasecmp(name.c_str(), "MD5-sess") == 0) return Algorithm::MD5Session;
  if (g_ascii_strcasecmp(name.c_str(), "SHA-256") == 0) return Algorithm::SHA256;
  if (g_ascii_strcasecmp(name.c_str(), "SHA-256-sess") == 0) return Algorithm::SHA256Session;
  return std::nullopt;
}

int strength(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::SHA256:
    case Algorithm::SHA256Session:
      return 3;
    case Algorithm::MD5:
    case Algorithm::MD5Session:
      return 2;
    case Algorithm::Basic:
      return 1;
  }
  return 0;
}

const char* algorithmName(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::MD5:
      return "MD5";
    case Algorithm::MD5Session:
      return "MD5-sess";
    case Algorithm::SHA256:
      return "SHA-256";
    case Algorithm::SHA256Session:
      return "SHA-256-sess";
    case Algorithm::Basic:
      break;
  }
  return "";
}

std::string hexDigest(Algorithm algorithm, const std::string& text) {
  const bool sha256 = algorithm == Algorithm::SHA256 || algorithm == Algorithm::SHA256Session;
  gchar* digest = g_compute_checksum_for_string(sha256 ? G_CHECKSUM_SHA256 : G_CHECKSUM_MD5, text.data(),
                                                static_cast<gssize>(text.size()));
  std::string hex(digest);
  g_free(digest);
  return hex;
}

std::string randomNonce() {
  std::string nonce = platform::Uuid::newString();
  std::erase(nonce, '-');
  std::transform(nonce.begin(), nonce.end(), nonce.begin(), [](char c) { return g_ascii_tolower(c); });
  return nonce;
}

}  // namespace

DQHTTPAuthenticationRequest::DQHTTPAuthenticationRequest(ProtectionSpace space,
                                                         DQAuthenticateHeader::Challenge challenge,
                                                         Algorithm algorithm, NonceSource clientNonce)
    : protectionSpace_(std::move(space)),
      challenge_(std::move(challenge)),
      algorithm_(algorithm),
      clientNonce_(clientNonce ? std::move(clientNonce) : NonceSource(randomNonce)) {}

std::shared_ptr<DQHTTPAuthenticationRequest> DQHTTPAuthenticationRequest::authenticationRequestWithResponse(
    const platform::HttpMessage& response, const platform::Url& url, NonceSource clientNonce) {
  const auto field = response.headerField("WWW-Authenticate");
  if (!field) return nullptr;
  const DQAuthenticateHeader::Challenge* chosen = nullptr;
  Algorithm chosenAlgorithm = Algorithm::Basic;
  const auto challenges = DQAuthenticateHeader::parse(*field);
  for (const auto& challenge : challenges) {
    std::optional<Algorithm> algorithm;
    if (challenge.hasScheme("Digest")) algorithm = digestAlgorithm(challenge);
    if (challenge.hasScheme("Basic")) algorithm = Algorithm::Basic;
    if (algorithm && (!chosen || strength(*algorithm) > strength(chosenAlgorithm))) {
      chosen = &challenge;
      chosenAlgorithm = *algorithm;
    }
  }
  if (!chosen) return nullptr;
  const std::string protocol = url.hasScheme("https") ? "https" : "http";
  const int port = url.port() >= 0 ? url.port() : (protocol == "https" ? 443 : 80);
  ProtectionSpace space(url.host(), port, protocol, chosen->parameter("realm"),
                        chosenAlgorithm == Algorithm::Basic ? ProtectionSpace::kAuthenticationMethodHTTPBasic
                                                            : ProtectionSpace::kAuthenticationMethodHTTPDigest);
  return std::make_shared<DQHTTPAuthenticationRequest>(std::move(space), *chosen, chosenAlgorithm,
                                                       std::move(clientNonce));
}

bool DQHTTPAuthenticationRequest::applyCredentialsForRequest(platform::HttpMessage& request,
                                                            const std::optional<std::string>& userName,
                                                            const std::optional<std::string>& password) {
  if (!password) return false;
  const std::string user = userName.value_or("");
  const std::string value = algorithm_ == Algorithm::Basic
                                ? "Basic " + platform::Base64::encode(user + ":" + *password)
                                : digestAuthorization(request, user, *password);
  return request.setHeaderField("Authorization", value);
}

std::string DQHTTPAuthenticationRequest::digestAuthorization(const platform::HttpMessage& request,
                                                             const std::string& user, const std::string& password) {
  const std::string realm = challenge_.parameter("realm").value_or("");
  const std::string nonce = challenge_.parameter("nonce").value_or("");
  const auto opaque = challenge_.parameter("opaque");
  const bool withQop = challenge_.parameter("qop").has_value();
  const auto userhash = challenge_.parameter("userhash");
  const bool hashUser = userhash && g_ascii_strcasecmp(userhash->c_str(), "true") == 0;
  const std::string uri = request.url() ? request.url()->pathAndQuery() : "/";
  const std::string cnonce = clientNonce_();
  char nc[9];
  std::snprintf(nc, sizeof(nc), "%08x", ++nonceCount_);

  auto H = [this](const std::string& text) { return hexDigest(algorithm_, text); };
  std::string ha1 = H(user + ":" + realm + ":" + password);
  if (algorithm_ == Algorithm::MD5Session || algorithm_ == Algorithm::SHA256Session) {
    ha1 = H(ha1 + ":" + nonce + ":" + cnonce);
  }
  const std::string ha2 = H(request.method() + ":" + uri);
  const std::string response = withQop ? H(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2)
                                       : H(ha1 + ":" + nonce + ":" + ha2);

  std::string value = "Digest username=" + DQAuthenticateHeader::quoted(hashUser ? H(user + ":" + realm) : user);
  value += ", realm=" + DQAuthenticateHeader::quoted(realm);
  value += ", nonce=" + DQAuthenticateHeader::quoted(nonce);
  value += ", uri=" + DQAuthenticateHeader::quoted(uri);
  value += ", algorithm=" + std::string(algorithmName(algorithm_));
  value += ", response=" + DQAuthenticateHeader::quoted(response);
  if (withQop) value += ", qop=auth, nc=" + std::string(nc) + ", cnonce=" + DQAuthenticateHeader::quoted(cnonce);
  if (opaque) value += ", opaque=" + DQAuthenticateHeader::quoted(*opaque);
  if (hashUser) value += ", userhash=true";
  return value;
}
