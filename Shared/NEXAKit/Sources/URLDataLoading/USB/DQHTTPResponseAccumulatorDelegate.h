#pragma once

#include "Errors/Error.h"

class DQHTTPResponseAccumulator;

// What a response accumulator reports. Every call comes on the thread that
// feeds the accumulator, from inside its appendData. When the whole body comes
// with the header, the body is reported finished before the header.
class DQHTTPResponseAccumulatorDelegate {
 public:
  virtual ~DQHTTPResponseAccumulatorDelegate() = default;
  virtual void accumulatorDidFinishParsingHeader(DQHTTPResponseAccumulator& accumulator) = 0;
  virtual void accumulatorDidFinishParsingBody(DQHTTPResponseAccumulator& accumulator) = 0;
  // Any failure, of the header or of the body; nothing is reported after it.
  virtual void accumulatorHeader(DQHTTPResponseAccumulator& accumulator,
                                 const platform::ErrorPtr& didFailParsingWithError) = 0;
};
