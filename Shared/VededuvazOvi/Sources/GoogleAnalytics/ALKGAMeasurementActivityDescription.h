#pragma once

#include "ALKMeasurementActivityDescription.h"

// The six Google Analytics hit types ("AppView", "PageView", "Event",
// "Exception", "Social", "Timing"), all on one shared property table. Each
// requires "v", "tid", "cid" and "t"; "Social" also "sn", "sa" and "st".
class ALKGAMeasurementActivityDescription {
 public:
  // New descriptions on a new table; any thread.
  static ALKMeasurementDescriptions supportedDescriptions();

  ALKGAMeasurementActivityDescription() = delete;
};
