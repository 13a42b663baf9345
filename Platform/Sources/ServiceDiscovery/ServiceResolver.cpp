#include "ServiceDiscovery/ServiceResolver.h"

#include <glib.h>

#include <algorithm>

namespace platform {

const Value* ResolvedService::txtEntry(const Dictionary& txtRecord, std::string_view key) {
  const auto sameLetter = [](char one, char other) { return g_ascii_tolower(one) == g_ascii_tolower(other); };
  for (const auto& [entryKey, value] : txtRecord) {
    if (std::equal(entryKey.begin(), entryKey.end(), key.begin(), key.end(), sameLetter)) return &value;
  }
  return nullptr;
}

}  // namespace platform
