#pragma once

#include "ALKMeasurementActivityPropertyDescription.h"

// The Google Analytics table of activity properties: 57 properties, each
// with its parameter of the catalogue and, for some, a value transform
// (hit type, session control, IP override, URL or text, size, colour depth,
// duration). Two properties share "cd"; no property is sent as "linkid".
class ALKGAMeasurementActivityPropertyDescription {
 public:
  // A new table on a new catalogue; any thread.
  static ALKMeasurementPropertyTable supportedDescriptions();

  ALKGAMeasurementActivityPropertyDescription() = delete;
};
