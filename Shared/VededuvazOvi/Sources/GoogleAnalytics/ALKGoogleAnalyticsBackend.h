#pragma once

// The Google Analytics back end's entries in ALKAnalyticsRegistry:
// "googleAnalyticsConfig" (ALKGAConfig::googleAnalyticsConfig) and
// "googleAnalyticsExceptionActivityWithDescription:fatal:" (an exception
// activity), and the tracker operations of ALKGATracker
// ("googleAnalyticsTrackerWithTrackingId:", "googleAnalyticsActivityPipeline",
// "googleAnalyticsUpdateFilter:"). Registered explicitly, since a static library keeps no object
// that only a static initialiser refers to.
class ALKGoogleAnalyticsBackend {
 public:
  // (Re)registers the entries; any thread. The client calls it when it is
  // made, before it looks any back end up.
  static void registerBackend();
  // Removes them again.
  static void unregisterBackend();

  ALKGoogleAnalyticsBackend() = delete;
};
