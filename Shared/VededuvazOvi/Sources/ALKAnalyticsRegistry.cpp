#include "ALKAnalyticsRegistry.h"

#include <glib.h>

#include "Text/Format.h"

ALKAnalyticsRegistry& ALKAnalyticsRegistry::shared() {
  static auto* registry = new ALKAnalyticsRegistry;
  return *registry;
}

std::optional<std::string> ALKAnalyticsRegistry::derivedName(std::string_view nameTemplate,
                                                             const platform::Value& analyticsType) {
  const std::string* type = analyticsType.string();
  if (!type || type->empty() || !g_utf8_validate(type->data(), static_cast<gssize>(type->size()), nullptr)) {
    return std::nullopt;
  }
  const char* rest = g_utf8_next_char(type->data());
  char first[6];
  const gint length = g_unichar_to_utf8(g_unichar_tolower(g_utf8_get_char(type->data())), first);
  std::string lowered(first, static_cast<std::size_t>(length));
  lowered.append(rest, static_cast<std::size_t>(type->data() + type->size() - rest));
  return platform::format(nameTemplate, lowered);
}

void ALKAnalyticsRegistry::removeEntry(const std::string& name) {
  std::lock_guard lock(mutex_);
  entries_.erase(name);
}
