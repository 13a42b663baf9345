#include "DQPrinterURLParser.h"

#include <regex>

bool DQPrinterURLParser::parseBonjourURL(const platform::Url& uri, std::string* bonjourName, std::string* type,
                                         std::string* domain) {
  const std::string& host = uri.host();
  if (host.empty()) return false;
  static const std::regex pattern(R"(^(.+)\.(.+\..+)\.(.+)$)");
  std::smatch match;
  if (!std::regex_search(host, match, pattern)) return false;
  if (bonjourName) *bonjourName = match[1];
  if (type) *type = match[2];
  if (domain) *domain = match[3];
  return true;
}

std::optional<std::string> DQPrinterURLParser::serialNumberFromUSBURL(const platform::Url& uri) {
  // Any one of "?", ",", " ", "%", "3" or "F" before "serial=" will do.
  static const std::regex pattern(R"([\?, \%3F].*serial=([^&]+))");
  std::smatch match;
  const std::string& text = uri.absoluteString();
  if (!std::regex_search(text, match, pattern)) return std::nullopt;
  // The URI's text is escaped; the serial number is not. A "%" that starts
  // no escape is kept as it stands.
  const std::string escaped = match[1];
  return platform::Url::percentDecode(escaped).value_or(escaped);
}
