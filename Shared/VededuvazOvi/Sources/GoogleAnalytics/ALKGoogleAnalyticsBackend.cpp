#include "ALKGoogleAnalyticsBackend.h"

#include "ALKAnalyticsRegistry.h"
#include "ALKGAConfig.h"
#include "ALKMeasurementActivity.h"

namespace {
constexpr const char* kConfigEntry = "googleAnalyticsConfig";
constexpr const char* kExceptionActivityEntry = "googleAnalyticsExceptionActivityWithDescription:fatal:";
}  // namespace

void ALKGoogleAnalyticsBackend::registerBackend() {
  auto& registry = ALKAnalyticsRegistry::shared();
  registry.registerEntry<ALKConfigEntry>(kConfigEntry, &ALKGAConfig::googleAnalyticsConfig);
  registry.registerEntry<ALKExceptionActivityEntry>(kExceptionActivityEntry,
                                                    [](const std::string& description, bool fatal) {
                                                      return ALKMeasurementActivity::exceptionActivity(description, fatal);
                                                    });
}

void ALKGoogleAnalyticsBackend::unregisterBackend() {
  auto& registry = ALKAnalyticsRegistry::shared();
  registry.removeEntry(kConfigEntry);
  registry.removeEntry(kExceptionActivityEntry);
}
