#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ALKClock.h"
#include "Values/Dictionary.h"
#include "Dispatch/DispatchQueue.h"
#include "Errors/Error.h"
#include "IALKQueue.h"
#include "IALKQueueDelegate.h"
#include "IALKQueueFilter.h"
#include "RunLoop/RunLoop.h"
#include "Values/Value.h"

// One stage of an analytics pipeline. A run takes the head of the input queue
// (without removing it), hands it to the execution block on the execution
// queue, and when the block finishes, back on the thread that scheduled the
// run: on success removes that head and puts the output into the output
// queue; on failure leaves the head where it is. The stage paces its runs
// ("dequeueRate": the least time from the end of one run to the start of the
// next), can be suspended, cancelled and closed, and after each run either
// goes straight on (an active stage with more input, when the error policy
// allows) or listens to its input queue again, as its delegate. A stage whose
// error policy stopped it after a failed run is halted (observable under
// "halted") until its next run starts: only a new input or a dispatch wakes
// it. An execute that finds a run in flight is refused, and the stage runs
// once more when that run ends, unless it then cannot run (closed, suspended,
// no input) or goes on by itself anyway.
//
// Threads: execute, the input queue's delegate call, every completion and
// every change of the two queues happen on the scheduling thread (the main
// thread in the engine). The execution block runs on the execution queue and
// may finish from any thread; finish posts the completion to the run loop that
// scheduled the run, never inline. The flags are atomic; the properties are
// guarded by the stage's lock, so execution blocks may read them anywhere.
//
// Subclasses replace hasInputObjectsAvailable, close, executeBlock and cancel
// (calling the inherited ones where they add to them), and are made through
// make<Subclass>(...) with the designated constructor.
class ALKQueueFilter : public IALKQueueFilter, public IALKQueueDelegate {
 protected:
  // Only make() forms one: a stage made any other way would not listen to its
  // input queue.
  class Passkey {
    friend class ALKQueueFilter;
    Passkey() = default;
  };

 public:
  // Called once per run by the execution block, from any thread: the output
  // (nil for none) and the error (nil for success). Later calls of the same
  // run are ignored with an ERROR line.
  using Finish = std::function<void(ALKQueueFilter& filter, platform::ObjectPtr output, platform::ErrorPtr error)>;
  // Does a run's work on the execution queue: the stage, the input object (nil
  // for a producer) and the run's finish. An exception escaping it ends the
  // run with ALKErrorDomain -302.
  using ExecutionBlock =
      std::function<void(ALKQueueFilter& filter, const platform::ObjectPtr& object, const Finish& finish)>;
  // The error policy, asked on the scheduling thread: sets `stop` to halt the
  // stage after `error`.
  using ProceedErrorHandler = std::function<void(const platform::ErrorPtr& error, bool& stop)>;
  // The work of the factory stages, on the execution queue.
  using Transform = std::function<platform::ObjectPtr(const platform::ObjectPtr& object)>;
  using Predicate = std::function<bool(const platform::ObjectPtr& object)>;

  static constexpr const char* kDequeueRateKey = "dequeueRate";
  static constexpr const char* kConfigKey = "config";

  // Makes a stage of class T (this class or a subclass) with T's constructor
  // arguments after the Passkey, and makes it its input queue's delegate.
  template <class T = ALKQueueFilter, class... Args>
  static std::shared_ptr<T> make(Args&&... args) {
    auto filter = std::make_shared<T>(Passkey(), std::forward<Args>(args)...);
    filter->listenToInputQueue();
    return filter;
  }

  // The designated constructor. A nil execution queue means the main queue.
  ALKQueueFilter(Passkey, std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue, bool active,
                 std::shared_ptr<platform::DispatchQueue> executionQueue, ExecutionBlock executionBlock,
                 CompletionBlock completionBlock);
  ~ALKQueueFilter() override;

  static std::shared_ptr<ALKQueueFilter> queueFilterWithInputQueue(
      std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue, bool active,
      std::shared_ptr<platform::DispatchQueue> executionQueue, ExecutionBlock executionBlock,
      CompletionBlock completionBlock);
  // A stage whose output is transform(object), or the object itself without a
  // transform; it finishes at once, without error.
  static std::shared_ptr<ALKQueueFilter> transformQueueFilterWithInputQueue(
      std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue, bool active,
      std::shared_ptr<platform::DispatchQueue> executionQueue, Transform transform);
  static std::shared_ptr<ALKQueueFilter> consumerQueueFilterWithInputQueue(
      std::shared_ptr<IALKQueue> inputQueue, bool active, std::shared_ptr<platform::DispatchQueue> executionQueue,
      Transform transform);
  // Its transform receives nil.
  static std::shared_ptr<ALKQueueFilter> producerQueueFilterWithOutputQueue(
      std::shared_ptr<IALKQueue> outputQueue, bool active, std::shared_ptr<platform::DispatchQueue> executionQueue,
      Transform transform);
  // Passes the object on when there is no predicate or it accepts the object,
  // and passes nothing on otherwise.
  static std::shared_ptr<ALKQueueFilter> testQueueFilterWithInputQueue(
      std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue, bool active,
      std::shared_ptr<platform::DispatchQueue> executionQueue, Predicate predicate);

  // Runs now or after the pacing: executeAfter(nextDispatchTime()).
  bool execute() { return executeAfter(nextDispatchTime()); }
  // Schedules a run at `when` (0 for now); false, after telling the
  // completion block (unless closed), when the stage cannot run.
  bool executeAfter(platform::DispatchTime when);
  // 0 when the stage may run now, else when the pacing allows it.
  platform::DispatchTime nextDispatchTime() const;
  bool canExecute() const;
  bool canProceedWithNextObjectAfterCompletionWithError(const platform::ErrorPtr& error) const;
  bool shouldProceedAfterError(const platform::ErrorPtr& error) const;

  // Hook: whether there is input to work on; here, a non-empty input queue.
  // Any thread.
  bool hasInputObjectsAvailable() const override;
  // Hook: marks a run in flight as cancelled; its result becomes a
  // cancellation. An idle stage is not marked. Scheduling thread.
  void cancel() override;
  // Hook: for good; a run in flight ends as a cancellation that is not
  // reported. Scheduling thread.
  void close() override;
  // Hook: runs `block`, a run's completion, on the scheduling thread.
  virtual void executeBlock(const std::function<void()>& block);
  // Hook: runs on the execution queue after the stage was closed and every
  // run posted before it has ended (see waitUntilDrained); releases what the
  // runs used. Nothing here.
  virtual void drainExecutionQueue() {}
  // Has the execution queue run drainExecutionQueue() (inline when the
  // calling thread runs that queue) and waits for it until `deadline`; false
  // when the deadline came first (the drain still runs later). For a closed
  // stage; scheduling thread.
  bool waitUntilDrained(std::chrono::steady_clock::time_point deadline);

  // The input queue's delegate call: wakes an idle, open, unsuspended stage.
  void queueDidEnqueueObjects(IALKQueue& queue, const std::vector<platform::ObjectPtr>& objects) override;

  // Per-stage settings ("dequeueRate", "config"), under the stage's lock. A
  // nil value removes the key. Any thread.
  platform::Value propertyForKey(const std::string& key) const;
  void setProperty(platform::Value value, const std::string& key);
  // A copy of all of them; nullopt before the first stored value.
  std::optional<platform::Dictionary> properties() const;
  double dequeueRate() const override;
  void setDequeueRate(double seconds) override;

  const std::shared_ptr<IALKQueue>& inputQueue() const override { return inputQueue_; }
  const std::shared_ptr<IALKQueue>& outputQueue() const override { return outputQueue_; }
  Type type() const override;
  bool isActive() const override { return active_; }
  bool isExecuting() const override { return executing_.load(); }
  bool isCancelled() const override { return cancelled_.load(); }
  bool isClosed() const override { return closed_.load(); }
  bool isSuspended() const override { return suspended_.load(); }
  // Whether the last run failed and the error policy stopped the stage.
  bool isHalted() const { return halted_.load(); }
  // Holds nothing back that is already scheduled.
  void setSuspended(bool suspended) override { suspended_.store(suspended); }

  // The rest, set and read on the scheduling thread.
  const std::shared_ptr<platform::DispatchQueue>& executionQueue() const { return executionQueue_; }
  // Nil means the main queue.
  void setExecutionQueue(std::shared_ptr<platform::DispatchQueue> queue);
  const ExecutionBlock& executionBlock() const { return executionBlock_; }
  CompletionBlock completionBlock() const override { return completionBlock_; }
  void setCompletionBlock(CompletionBlock block) override { completionBlock_ = std::move(block); }
  const ProceedErrorHandler& proceedErrorHandler() const { return proceedErrorHandler_; }
  void setProceedErrorHandler(ProceedErrorHandler handler) { proceedErrorHandler_ = std::move(handler); }
  // When the last run completed; kDispatchTimeForever before the first.
  platform::DispatchTime lastExecutedTime() const { return lastExecutedTime_.load(); }
  // The pacing counts from it: kDispatchTimeForever lets the next run start
  // at once.
  void setLastExecutedTime(platform::DispatchTime time) { lastExecutedTime_.store(time); }
  const std::shared_ptr<ALKClock>& clock() const { return clock_; }
  void setClock(std::shared_ptr<ALKClock> clock) { clock_ = std::move(clock); }

  // "executing" and "halted".
  platform::Value valueForKey(const std::string& key) const override;

 private:
  void listenToInputQueue();
  void setExecuting(bool executing);
  void setHalted(bool halted);
  // The run, on the execution queue.
  void run(const platform::ObjectPtr& object, const platform::RunLoop& schedulingRunLoop);
  // A run's completion, on the scheduling thread.
  void complete(const platform::ObjectPtr& object, platform::ObjectPtr output, platform::ErrorPtr error);

  const std::shared_ptr<IALKQueue> inputQueue_;
  const std::shared_ptr<IALKQueue> outputQueue_;
  const bool active_;
  const ExecutionBlock executionBlock_;
  // Scheduling thread only.
  std::shared_ptr<platform::DispatchQueue> executionQueue_;
  CompletionBlock completionBlock_;
  ProceedErrorHandler proceedErrorHandler_;
  std::shared_ptr<ALKClock> clock_;

  std::atomic<bool> suspended_{false};
  std::atomic<bool> executing_{false};
  std::atomic<bool> halted_{false};
  // An execute refused because a run was in flight: the run's end runs the
  // stage once more, if it can run then.
  std::atomic<bool> wokenDuringRun_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> closed_{false};
  std::atomic<platform::DispatchTime> lastExecutedTime_{platform::kDispatchTimeForever};

  mutable std::recursive_mutex propertiesMutex_;  // guards properties_; any thread
  std::optional<platform::Dictionary> properties_;
};
