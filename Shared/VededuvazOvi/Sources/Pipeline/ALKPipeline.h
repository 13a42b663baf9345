#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "ALKQueueFilter.h"
#include "IALKPipelineDelegate.h"
#include "IALKQueue.h"
#include "Values/Object.h"
#include "Observation/ObservationToken.h"

// A chain of stages in which each stage's input queue is the previous stage's
// output queue. It runs, suspends, cancels and closes all stages together and
// tells its delegate of every change in the number of queued objects, of
// every stage that starts to run and of every stage that halts after a
// failed run.
//
// Threads: used on the main thread. The delegate is called synchronously on
// the thread that changed a queue or a stage, which in the engine is the main
// thread.
class ALKPipeline : public platform::Object {
  struct Private {
    explicit Private() = default;
  };

 public:
  using Filters = std::vector<std::shared_ptr<ALKQueueFilter>>;

  // A pipeline observing its queues and stages; nullptr, without a log line,
  // when the sequence is not valid.
  static std::shared_ptr<ALKPipeline> pipelineWithFilters(Filters filters);
  // At least one stage; each stage's input queue is the previous one's output
  // queue (the same object, or both nil); no stage twice and no queue twice,
  // so that the chain never loops back on itself.
  static bool isValidPipelineFilterSequence(const Filters& filters);

  ALKPipeline(Private, Filters filters);
  // Stops observing if it was never closed.
  ~ALKPipeline() override;

  const Filters& filters() const { return filters_; }
  std::size_t filterCount() const { return filters_.size(); }
  std::shared_ptr<ALKQueueFilter> firstFilter() const;
  // The input queue of the first stage that has one.
  std::shared_ptr<IALKQueue> firstInputQueue() const;
  const std::shared_ptr<ALKQueueFilter>& operator[](std::size_t index) const { return filters_.at(index); }

  std::shared_ptr<IALKPipelineDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<IALKPipelineDelegate> delegate) { delegate_ = std::move(delegate); }
  bool observesChanges() const { return observesChanges_; }
  // Subscribes to the queues' counts and the stages' "executing" and
  // "halted", or
  // unsubscribes; nothing when the pipeline already does as asked.
  void setObservesChanges(bool observes);

  // Each operation goes to every stage, first to last.
  // Stages that cannot run refuse and tell their completion blocks.
  void execute();
  // Resuming starts nothing by itself.
  void setSuspended(bool suspended);
  void cancelFilters();
  // Stops observing (once) and closes every stage.
  void close();
  // close(), then waits until every stage's execution queue has finished what
  // was posted to it and released what the runs used, for at most `timeout`
  // in all; false when the time ran out.
  bool closeAndDrain(std::chrono::steady_clock::duration timeout);
  // Empties every stage's input queue, then its output queue.
  void dequeueObjects();

  bool hasPendingObjects() const;
  bool hasExecutingFilters() const;
  bool hasSuspendedFilters() const;

  // Forward to the delegate.
  void queueDidEnqueueObjects(IALKQueue& queue, const std::vector<platform::ObjectPtr>& objects);
  void queueDidDequeueObjects(IALKQueue& queue, const std::vector<platform::ObjectPtr>& objects);
  void queueFilterWillExecute(ALKQueueFilter& filter);
  void queueFilterDidHalt(ALKQueueFilter& filter);

 private:
  void observeCount(IALKQueue& queue);

  const Filters filters_;
  std::weak_ptr<IALKPipelineDelegate> delegate_;
  bool observesChanges_ = false;
  // Every observation calls back on the changing thread; cancelled by close
  // or destruction before the stages go.
  std::vector<platform::ObservationToken> observations_;
};
