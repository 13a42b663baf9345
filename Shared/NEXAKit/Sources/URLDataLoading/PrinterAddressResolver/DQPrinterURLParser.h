#pragma once

#include <optional>
#include <string>

#include "Values/Url.h"

// Reads the parts of printer URIs.
class DQPrinterURLParser {
 public:
  // Splits the host of a "dnssd" URI into service name, type and domain: the
  // type is the last "_name._tcp" or "_name._udp" pair of labels, the name
  // all that precedes it, dots included, and the domain all that follows it
  // ("local" when nothing does). Without such a pair, the domain is the last
  // label, the type the two before it and the name all that precedes. False
  // for an empty host or fewer labels,
  // and (logged) for a host that is not UTF-8 text or holds a NUL; the
  // out-parameters given are set only on success.
  static bool parseBonjourURL(const platform::Url& uri, std::string* bonjourName, std::string* type,
                              std::string* domain);
  // The serial number in the query of a "usb" URI ("serial=" up to the next
  // "&"), percent-decoded once; none without one.
  static std::optional<std::string> serialNumberFromUSBURL(const platform::Url& uri);
  // The serial number a "nexausb" URL names: its host, which the URL
  // percent-decodes once. It equals the printer's serial number exactly; the
  // USB side compares it as it is.
  static std::string serialNumberFromNEXAUSBURL(const platform::Url& url) { return url.host(); }
};
