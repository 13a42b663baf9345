#pragma once

#include <vector>

#include "Values/Object.h"

class ALKPipeline;
class ALKQueueFilter;
class IALKQueue;

// Told by a pipeline of the changes in its queues and stages, synchronously
// on the thread that made the change (the main thread in the engine).
class IALKPipelineDelegate {
 public:
  virtual ~IALKPipelineDelegate() = default;

  // `queue` grew; `objects` holds its present head (the oldest object, not
  // necessarily the one just added).
  virtual void pipelineQueueDidEnqueueObjects(ALKPipeline& /*pipeline*/, IALKQueue& /*queue*/,
                                              const std::vector<platform::ObjectPtr>& /*objects*/) {}
  // `queue` shrank; `objects` is empty.
  virtual void pipelineQueueDidDequeueObjects(ALKPipeline& /*pipeline*/, IALKQueue& /*queue*/,
                                              const std::vector<platform::ObjectPtr>& /*objects*/) {}
  // `filter` is about to run: its run is being scheduled.
  virtual void pipelineFilterWillExecute(ALKPipeline& /*pipeline*/, ALKQueueFilter& /*filter*/) {}
  // `filter` halted after a failed run: it waits to be run again.
  virtual void pipelineFilterDidHalt(ALKPipeline& /*pipeline*/, ALKQueueFilter& /*filter*/) {}
};
