#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Values/Url.h"

// Building printer URLs from their parts.
class DQURL {
 public:
  // The host with percent escapes removed; none for a broken escape.
  static std::optional<std::string> unescapeURLHost(std::string_view host);

  // URLWithScheme(scheme, host, -1, path, none).
  static std::optional<platform::Url> URLWithScheme(std::string_view scheme, std::string_view host,
                                                    std::string_view path);
  // "scheme://host:port/path?query", the port only when it is 0 or more and
  // the query only when it is given and not empty. The host is prepared
  // first: an IPv6 literal gets its "%" escaped and brackets, an IPv4 literal
  // is kept, a name is percent-escaped. None for an empty host or a text that
  // is no URL.
  static std::optional<platform::Url> URLWithScheme(std::string_view scheme, std::string_view host, long port,
                                                    std::string_view path,
                                                    const std::optional<std::string>& query);

  // The host as it goes into a URL's text (see above); "" for an empty host.
  static std::string preparedHost(std::string_view host);
};
