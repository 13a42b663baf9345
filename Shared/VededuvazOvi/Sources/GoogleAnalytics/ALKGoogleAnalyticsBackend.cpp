#include "ALKGoogleAnalyticsBackend.h"

#include "ALKAnalyticsRegistry.h"
#include "ALKGAConfig.h"
#include "ALKGATracker.h"
#include "ALKMeasurementActivity.h"

namespace {
constexpr const char* kConfigEntry = "googleAnalyticsConfig";
constexpr const char* kExceptionActivityEntry = "googleAnalyticsExceptionActivityWithDescription:fatal:";
constexpr const char* kTrackerEntry = "googleAnalyticsTrackerWithTrackingId:";
constexpr const char* kPipelineEntry = "googleAnalyticsActivityPipeline";
constexpr const char* kUpdateFilterEntry = "googleAnalyticsUpdateFilter:";
}  // namespace

void ALKGoogleAnalyticsBackend::registerBackend() {
  auto& registry = ALKAnalyticsRegistry::shared();
  registry.registerEntry<ALKConfigEntry>(kConfigEntry, &ALKGAConfig::googleAnalyticsConfig);
  registry.registerEntry<ALKExceptionActivityEntry>(kExceptionActivityEntry,
                                                    [](const std::string& description, bool fatal) {
                                                      return ALKMeasurementActivity::exceptionActivity(description, fatal);
                                                    });
  registry.registerEntry<ALKTrackerWithTrackingIdEntry>(kTrackerEntry,
                                                        &ALKGATracker::googleAnalyticsTrackerWithTrackingId);
  registry.registerEntry<ALKActivityPipelineEntry>(kPipelineEntry, &ALKGATracker::googleAnalyticsActivityPipeline);
  registry.registerEntry<ALKUpdateFilterEntry>(kUpdateFilterEntry, &ALKGATracker::googleAnalyticsUpdateFilter);
}

void ALKGoogleAnalyticsBackend::unregisterBackend() {
  auto& registry = ALKAnalyticsRegistry::shared();
  registry.removeEntry(kConfigEntry);
  registry.removeEntry(kExceptionActivityEntry);
  registry.removeEntry(kTrackerEntry);
  registry.removeEntry(kPipelineEntry);
  registry.removeEntry(kUpdateFilterEntry);
}
