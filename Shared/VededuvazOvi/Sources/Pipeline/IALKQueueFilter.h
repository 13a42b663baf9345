#pragma once

#include <functional>
#include <memory>

#include "Errors/Error.h"
#include "IALKQueue.h"
#include "Observation/KeyValueObservable.h"
#include "Values/Object.h"

class ALKQueueFilter;

// One stage of a pipeline: it takes the head of its input queue, works on it
// and puts the result into its output queue. Observable under "executing".
class IALKQueueFilter : public platform::Object, public platform::KeyValueObservable {
 public:
  // Which queues a stage has.
  enum class Type : unsigned { Neither = 0, Producer = 1, Consumer = 2, Transform = 3 };

  // Told after every run and every refused run, with the stage, the run's
  // output and its error. Runs on the stage's scheduling thread (the main
  // thread).
  using CompletionBlock =
      std::function<void(ALKQueueFilter& filter, const platform::ObjectPtr& output, const platform::ErrorPtr& error)>;

  virtual void cancel() = 0;
  virtual void close() = 0;
  virtual bool hasInputObjectsAvailable() const = 0;
  virtual const std::shared_ptr<IALKQueue>& inputQueue() const = 0;
  virtual const std::shared_ptr<IALKQueue>& outputQueue() const = 0;
  virtual Type type() const = 0;
  virtual bool isActive() const = 0;
  virtual bool isExecuting() const = 0;
  virtual bool isCancelled() const = 0;
  virtual bool isClosed() const = 0;
  virtual bool isSuspended() const = 0;
  virtual void setSuspended(bool suspended) = 0;
  // The least time in seconds from the end of one run to the start of the
  // next; 0 for none.
  virtual double dequeueRate() const = 0;
  virtual void setDequeueRate(double seconds) = 0;
  virtual CompletionBlock completionBlock() const = 0;
  virtual void setCompletionBlock(CompletionBlock block) = 0;
};
