#pragma once

#include <memory>

#include "ALKActivity.h"
#include "RunLoop/RunLoop.h"

// The hit the analytics benchmarks send: an event with the fields the
// application fills.
inline std::shared_ptr<ALKActivity> eventActivity() {
  auto activity = std::make_shared<ALKActivity>();
  activity->setValue("Event", "activityType");
  activity->setValue("SoftwareDownload", "eventCategory");
  activity->setValue("Download", "eventAction");
  activity->setValue("Printer Driver 5.1.2", "eventLabel");
  activity->setValue(42, "eventValue");
  return activity;
}

// Runs what the main run loop has ready, until nothing is left.
inline void drainMainRunLoop() {
  while (platform::RunLoop::main().runOnce(false)) {
  }
}
