#include "DQURL.h"

#include <arpa/inet.h>

#include "Text/Format.h"
#include "System/CompilerWarnings.h"

namespace {

// What a URL's host may hold besides the unreserved characters: the
// sub-delimiters, ':' and the brackets of an IP literal.
constexpr std::string_view kHostAllowed = "!$&'()*+,;=:[]";
// What a query may hold besides the unreserved characters.
constexpr std::string_view kQueryAllowed = "!$&'()*+,;=:@/?";

bool isIPv4Literal(const std::string& host) {
  in_addr address;
  return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

}  // namespace

std::optional<std::string> DQURL::unescapeURLHost(std::string_view host) { return platform::Url::percentDecode(host); }

std::string DQURL::preparedHost(std::string_view host) {
  const std::string text(host);
  if (text.find(':') != std::string::npos) {
    std::string escaped;
    for (char c : text) escaped += c == '%' ? std::string("%25") : std::string(1, c);
    return text.front() == '[' ? escaped : "[" + escaped + "]";
  }
  if (isIPv4Literal(text)) return text;
  return platform::Url::percentEncode(text, kHostAllowed);
}

std::optional<platform::Url> DQURL::URLWithScheme(std::string_view scheme, std::string_view host,
                                                  std::string_view path) {
  return URLWithScheme(scheme, host, -1, path, std::nullopt);
}

PT_GCC12_STRING_RESTRICT_BEGIN
std::optional<platform::Url> DQURL::URLWithScheme(std::string_view scheme, std::string_view host, long port,
                                                  std::string_view path, const std::optional<std::string>& query) {
  const std::string prepared = preparedHost(host);
  if (prepared.empty()) return std::nullopt;
  std::string text = port >= 0 ? platform::format("%@://%@:%ld%@", scheme, prepared, port, path)
                               : platform::format("%@://%@%@", scheme, prepared, path);
  if (query && !query->empty()) text += "?" + platform::Url::percentEncode(*query, kQueryAllowed);
  return platform::Url::fromString(text);
}
PT_GCC12_STRING_RESTRICT_END
