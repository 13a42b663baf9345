#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// An absolute URL (RFC 3986), parsed once by GLib's URI parser. The text is
// kept as given; the components read as the platform's URL class gives them:
// the scheme in lower case, the host percent-decoded and without the brackets
// of an IPv6 literal, -1 for no port.
class Url {
 public:
  // nullopt for text that is not an absolute URL.
  static std::optional<Url> fromString(std::string_view text);
  // A file URL for an absolute path ("/tmp/a b" gives "file:///tmp/a%20b").
  static std::optional<Url> fileUrl(std::string_view absolutePath);

  // Resolves a relative reference against this URL (RFC 3986 section 5).
  std::optional<Url> resolve(std::string_view reference) const;

  const std::string& absoluteString() const { return text_; }
  const std::string& scheme() const { return scheme_; }
  bool hasScheme(std::string_view scheme) const;  // case-insensitive
  const std::string& host() const { return host_; }
  int port() const { return port_; }
  // The path as it stands in the text (percent-escapes kept); "" when absent.
  const std::string& path() const { return path_; }
  // The path with percent-escapes removed.
  std::string decodedPath() const;
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }
  const std::optional<std::string>& userInfo() const { return userInfo_; }
  // The path, then "?" and the query when there is one: a request's target.
  std::string pathAndQuery() const;

  bool isFileUrl() const { return hasScheme("file"); }
  // The local path of a file URL; empty for other URLs.
  std::string filePath() const;

  bool operator==(const Url& other) const { return text_ == other.text_; }
  std::size_t hash() const;
  // The text for logs and other people's eyes: the text as given, but a
  // password in the user-info reads "<redacted>"
  // ("http://user:<redacted>@host/").
  std::string description() const;

  // Percent-decoding ("%41" gives "A"); nullopt for a broken escape.
  static std::optional<std::string> percentDecode(std::string_view text);
  // Percent-encoding of every byte outside the unreserved set and `allowed`.
  static std::string percentEncode(std::string_view text, std::string_view allowed = {});
  // The same, appended to `out`.
  static void appendPercentEncoded(std::string& out, std::string_view text, std::string_view allowed = {});

 private:
  Url() = default;
  std::string text_;
  std::string scheme_;
  std::string host_;
  int port_ = -1;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
  std::optional<std::string> userInfo_;
};

}  // namespace platform

template <>
struct std::hash<platform::Url> {
  std::size_t operator()(const platform::Url& url) const { return url.hash(); }
};
