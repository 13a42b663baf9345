#include "DQPrinterURLParser.h"

#include <glib.h>

#include "DQLog.h"
#include "Text/RegularExpression.h"

bool DQPrinterURLParser::parseBonjourURL(const platform::Url& uri, std::string* bonjourName, std::string* type,
                                         std::string* domain) {
  const std::string& host = uri.host();
  if (host.empty()) return false;
  // The host is percent-decoded and may hold any byte; the name goes to the
  // DNS-SD daemon as text, where a NUL would cut it short.
  if (!g_utf8_validate(host.data(), static_cast<gssize>(host.size()), nullptr)) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQPrinterURLParser] - Invalid service name in %@", uri);
    return false;
  }
  // The type is the last "_name._tcp" or "_name._udp" pair of labels: the
  // name is all before it, dots included, and the domain all after it.
  static const platform::RegularExpression servicePattern(R"(^(.+)\.(_[^.]+\._(?:[Tt][Cc][Pp]|[Uu][Dd][Pp]))(?:\.(.+))?$)");
  if (const auto match = servicePattern.firstMatch(host)) {
    if (bonjourName) *bonjourName = match->string(1);
    if (type) *type = match->string(2);
    if (domain) *domain = match->string(3).empty() ? "local" : match->string(3);
    return true;
  }
  // Without such a pair: the last label is the domain, the two before it the
  // type.
  static const platform::RegularExpression pattern(R"(^(.+)\.(.+\..+)\.(.+)$)");
  const auto match = pattern.firstMatch(host);
  if (!match) return false;
  if (bonjourName) *bonjourName = match->string(1);
  if (type) *type = match->string(2);
  if (domain) *domain = match->string(3);
  return true;
}

std::optional<std::string> DQPrinterURLParser::serialNumberFromUSBURL(const platform::Url& uri) {
  // Any one of "?", ",", " ", "%", "3" or "F" before "serial=" will do.
  static const platform::RegularExpression pattern(R"([\?, \%3F].*serial=([^&]+))");
  const auto match = pattern.firstMatch(uri.absoluteString());
  if (!match) return std::nullopt;
  // The URI's text is escaped; the serial number is not. A "%" that starts
  // no escape is kept as it stands.
  const std::string escaped = match->string(1);
  return platform::Url::percentDecode(escaped).value_or(escaped);
}
