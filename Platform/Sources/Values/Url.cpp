#include "Values/Url.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

namespace platform {
namespace {

constexpr GUriFlags kFlags = static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_NON_DNS);

struct GFreeDeleter {
  void operator()(void* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFreeDeleter>;

struct GUriDeleter {
  void operator()(GUri* uri) const { g_uri_unref(uri); }
};

std::optional<std::string> take(char* text) {
  GString_ owned(text);
  if (!owned) return std::nullopt;
  return std::string(owned.get());
}

// Bytes that can never stand in a URL's text.
bool hasForbiddenByte(std::string_view text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f || std::strchr("\"<>\\^`{|}", c)) return true;
  }
  return false;
}

}  // namespace

std::optional<Url> Url::fromString(std::string_view text) {
  if (text.empty() || hasForbiddenByte(text)) return std::nullopt;
  const std::string owned(text);
  char *scheme = nullptr, *userInfo = nullptr, *host = nullptr, *path = nullptr, *query = nullptr,
       *fragment = nullptr;
  gint port = -1;
  if (!g_uri_split(owned.c_str(), kFlags, &scheme, &userInfo, &host, &port, &path, &query, &fragment,
                   nullptr)) {
    return std::nullopt;
  }
  Url url;
  url.text_ = owned;
  auto schemeText = take(scheme);
  if (!schemeText) {
    take(userInfo), take(host), take(path), take(query), take(fragment);
    return std::nullopt;
  }
  url.scheme_ = *schemeText;
  url.userInfo_ = take(userInfo);
  if (auto hostText = take(host)) {
    // GLib already decodes the zone of an IPv6 literal ("%25eth0"); other
    // hosts are decoded here.
    if (hostText->find(':') != std::string::npos) {
      url.host_ = *hostText;
    } else {
      url.host_ = percentDecode(*hostText).value_or(*hostText);
    }
  }
  url.port_ = port;
  url.path_ = take(path).value_or(std::string());
  url.query_ = take(query);
  url.fragment_ = take(fragment);
  return url;
}

std::optional<Url> Url::fileUrl(std::string_view absolutePath) {
  const std::string path(absolutePath);
  GString_ uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
  if (!uri) return std::nullopt;
  return fromString(uri.get());
}

std::optional<Url> Url::resolve(std::string_view reference) const {
  if (hasForbiddenByte(reference)) return std::nullopt;
  const std::string ref(reference);
  std::unique_ptr<GUri, GUriDeleter> base(g_uri_parse(text_.c_str(), kFlags, nullptr));
  if (!base) return std::nullopt;
  std::unique_ptr<GUri, GUriDeleter> resolved(g_uri_parse_relative(base.get(), ref.c_str(), kFlags, nullptr));
  if (!resolved) return std::nullopt;
  // GLib holds the zone of an IPv6 literal decoded ("fe80::1%eth0") and
  // writes it back so, which no parser reads: the zone is escaped again.
  const char* host = g_uri_get_host(resolved.get());
  const char* zone = host ? std::strchr(host, '%') : nullptr;
  if (!zone || !std::strchr(host, ':')) {
    GString_ text(g_uri_to_string(resolved.get()));
    return fromString(text.get());
  }
  const std::string escapedHost = std::string(host, zone) + "%25" + percentEncode(zone + 1);
  GString_ text(g_uri_join(kFlags, g_uri_get_scheme(resolved.get()), g_uri_get_userinfo(resolved.get()),
                           escapedHost.c_str(), g_uri_get_port(resolved.get()), g_uri_get_path(resolved.get()),
                           g_uri_get_query(resolved.get()), g_uri_get_fragment(resolved.get())));
  return fromString(text.get());
}

bool Url::hasScheme(std::string_view scheme) const {
  return scheme.size() == scheme_.size() &&
         g_ascii_strncasecmp(scheme.data(), scheme_.data(), scheme.size()) == 0;
}

std::string Url::decodedPath() const { return percentDecode(path_).value_or(path_); }

std::string Url::pathAndQuery() const {
  std::string target = path_.empty() ? "/" : path_;
  if (query_) target += "?" + *query_;
  return target;
}

std::string Url::filePath() const {
  if (!isFileUrl()) return {};
  GString_ path(g_filename_from_uri(text_.c_str(), nullptr, nullptr));
  return path ? std::string(path.get()) : std::string();
}

std::string Url::description() const {
  // The user-info runs from the "//" after the scheme to the last "@" of the
  // authority: a writer's "@" left unescaped in a password stays hidden,
  // wherever a parser would end the user-info.
  const std::size_t colon = text_.find(':');
  if (colon == std::string::npos || text_.compare(colon + 1, 2, "//") != 0) return text_;
  const std::size_t start = colon + 3;
  const std::size_t end = std::min(text_.find_first_of("/?#", start), text_.size());
  const std::size_t at = text_.rfind('@', end);
  if (at == std::string::npos || at < start) return text_;
  const std::size_t separator = text_.find(':', start);
  if (separator >= at || separator + 1 == at) return text_;
  std::string text = text_;
  text.replace(separator + 1, at - separator - 1, "<redacted>");
  return text;
}

std::size_t Url::hash() const { return std::hash<std::string>()(text_); }

std::optional<std::string> Url::percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = g_ascii_xdigit_value(text[i + 1]);
    const int low = g_ascii_xdigit_value(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string Url::percentEncode(std::string_view text, std::string_view allowed) {
  std::string out;
  out.reserve(text.size());
  appendPercentEncoded(out, text, allowed);
  return out;
}

void Url::appendPercentEncoded(std::string& out, std::string_view text, std::string_view allowed) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    const bool unreserved = g_ascii_isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved || (c != 0 && allowed.find(static_cast<char>(c)) != std::string_view::npos)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
}

}  // namespace platform
