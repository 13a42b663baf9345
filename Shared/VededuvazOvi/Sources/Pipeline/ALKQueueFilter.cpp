#include "ALKQueueFilter.h"

#include <condition_variable>
#include <exception>
#include <mutex>

#include "ALKErrors.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"

namespace {

platform::ErrorPtr exceptionError(const char* text) {
  return platform::Error::make(ALKErrorDomain, kALKErrorExecutionException,
                               platform::Dictionary{{kALKErrorExceptionKey, text}});
}

// The execution block of the factory stages: finishes at once with the
// transform's output.
ALKQueueFilter::ExecutionBlock transformBlock(ALKQueueFilter::Transform transform) {
  return [transform = std::move(transform)](ALKQueueFilter& filter, const platform::ObjectPtr& object,
                                            const ALKQueueFilter::Finish& finish) {
    finish(filter, transform ? transform(object) : object, nullptr);
  };
}

}  // namespace

ALKQueueFilter::ALKQueueFilter(Passkey, std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue,
                               bool active, std::shared_ptr<platform::DispatchQueue> executionQueue,
                               ExecutionBlock executionBlock, CompletionBlock completionBlock)
    : inputQueue_(std::move(inputQueue)),
      outputQueue_(std::move(outputQueue)),
      active_(active),
      executionBlock_(std::move(executionBlock)),
      executionQueue_(executionQueue ? std::move(executionQueue) : platform::DispatchQueue::main()),
      completionBlock_(std::move(completionBlock)),
      proceedErrorHandler_([](const platform::ErrorPtr& error, bool& stop) { stop = error != nullptr; }),
      clock_(std::make_shared<ALKClock>()) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init {active: %d, input queue: %@, output queue: %@}", active_, inputQueue_, outputQueue_);
}

ALKQueueFilter::~ALKQueueFilter() {
  // The input queue's reference to this stage is weak and has expired by now.
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
}

void ALKQueueFilter::listenToInputQueue() {
  if (inputQueue_) inputQueue_->setDelegate(sharedAs<ALKQueueFilter>());
}

std::shared_ptr<ALKQueueFilter> ALKQueueFilter::queueFilterWithInputQueue(
    std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue, bool active,
    std::shared_ptr<platform::DispatchQueue> executionQueue, ExecutionBlock executionBlock,
    CompletionBlock completionBlock) {
  return make(std::move(inputQueue), std::move(outputQueue), active, std::move(executionQueue),
              std::move(executionBlock), std::move(completionBlock));
}

std::shared_ptr<ALKQueueFilter> ALKQueueFilter::transformQueueFilterWithInputQueue(
    std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue, bool active,
    std::shared_ptr<platform::DispatchQueue> executionQueue, Transform transform) {
  return make(std::move(inputQueue), std::move(outputQueue), active, std::move(executionQueue),
              transformBlock(std::move(transform)), nullptr);
}

std::shared_ptr<ALKQueueFilter> ALKQueueFilter::consumerQueueFilterWithInputQueue(
    std::shared_ptr<IALKQueue> inputQueue, bool active, std::shared_ptr<platform::DispatchQueue> executionQueue,
    Transform transform) {
  return transformQueueFilterWithInputQueue(std::move(inputQueue), nullptr, active, std::move(executionQueue),
                                            std::move(transform));
}

std::shared_ptr<ALKQueueFilter> ALKQueueFilter::producerQueueFilterWithOutputQueue(
    std::shared_ptr<IALKQueue> outputQueue, bool active, std::shared_ptr<platform::DispatchQueue> executionQueue,
    Transform transform) {
  return transformQueueFilterWithInputQueue(nullptr, std::move(outputQueue), active, std::move(executionQueue),
                                            std::move(transform));
}

std::shared_ptr<ALKQueueFilter> ALKQueueFilter::testQueueFilterWithInputQueue(
    std::shared_ptr<IALKQueue> inputQueue, std::shared_ptr<IALKQueue> outputQueue, bool active,
    std::shared_ptr<platform::DispatchQueue> executionQueue, Predicate predicate) {
  return transformQueueFilterWithInputQueue(
      std::move(inputQueue), std::move(outputQueue), active, std::move(executionQueue),
      [predicate = std::move(predicate)](const platform::ObjectPtr& object) -> platform::ObjectPtr {
        return !predicate || predicate(object) ? object : nullptr;
      });
}

platform::DispatchTime ALKQueueFilter::nextDispatchTime() const {
  const double rate = dequeueRate();
  const platform::DispatchTime last = lastExecutedTime_.load();
  if (!(rate > 0) || last == platform::kDispatchTimeForever) return platform::kDispatchTimeNow;
  // Saturates: a huge or infinite rate gives the farthest time, not a wrap.
  const platform::DispatchTime next = platform::dispatchTime(last, platform::dispatchDelta(rate));
  return clock_->now() >= next ? platform::kDispatchTimeNow : next;
}

bool ALKQueueFilter::canExecute() const {
  if (isClosed() || isExecuting() || isSuspended()) return false;
  return !inputQueue_ || !inputQueue_->isEmpty();
}

bool ALKQueueFilter::executeAfter(platform::DispatchTime when) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Execute filter operation");
  const bool runnable = canExecute();
  if (!runnable || !executionBlock_) {
    ALKLog::debug(this, "Break execution of the filter operation. {closed: %d, cancelled: %d, executing: %d}",
                  isClosed(), isCancelled(), isExecuting());
    // A wake-up that finds the stage busy is kept for the end of the run: the
    // run may already be past what the wake-up was about (a reader that found
    // the store empty just before a hit was stored).
    if (isExecuting() && !isClosed() && !isSuspended()) wokenDuringRun_.store(true);
    if (!isClosed() && completionBlock_) {
      const auto error = runnable ? nullptr : platform::Error::make(ALKErrorDomain, kALKErrorCannotExecute);
      const CompletionBlock block = completionBlock_;  // the block may replace itself
      block(*this, nullptr, error);
    }
    return false;
  }

  platform::ObjectPtr object = inputQueue_ ? inputQueue_->peekObject() : nullptr;
  platform::RunLoop schedulingRunLoop = platform::RunLoop::current();
  ALKLog::debug(this, "Will execute {%@}", object);
  setHalted(false);
  setExecuting(true);

  auto scheduled = [weakSelf = weak_from_this(), object, schedulingRunLoop] {
    if (const auto self = std::static_pointer_cast<ALKQueueFilter>(weakSelf.lock())) {
      self->run(object, schedulingRunLoop);
    }
  };
  if (when == platform::kDispatchTimeNow) {
    ALKLog::debug(this, "Schedule now");
    executionQueue_->async(std::move(scheduled));
  } else {
    const platform::DispatchTime now = clock_->now();
    ALKLog::debug(this, "Schedule after %lld in %f sec", static_cast<long long>(when),
                  when > now ? static_cast<double>(when - now) / 1e9 : 0.0);
    clock_->performAt(executionQueue_, when, std::move(scheduled));
  }
  if (inputQueue_) inputQueue_->setDelegate({});
  return true;
}

void ALKQueueFilter::run(const platform::ObjectPtr& object, const platform::RunLoop& schedulingRunLoop) {
  auto self = sharedAs<ALKQueueFilter>();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  const Finish finish = [self, object, schedulingRunLoop, finished](ALKQueueFilter&, platform::ObjectPtr output,
                                                                    platform::ErrorPtr error) {
    if (finished->exchange(true)) {
      ALKLog::error(self.get(), "Ignore another completion of the same run {%@ -> %@, error: %@}", object, output,
                    error);
      return;
    }
    schedulingRunLoop.perform([self, object, output = std::move(output), error = std::move(error)]() mutable {
      self->executeBlock([&] { self->complete(object, std::move(output), std::move(error)); });
    });
  };

  if (isCancelled()) {
    finish(*this, object, platform::Error::cancelled());
    return;
  }
  try {
    executionBlock_(*this, object, finish);
  } catch (const std::exception& exception) {
    finish(*this, nullptr, exceptionError(exception.what()));
  } catch (...) {
    finish(*this, nullptr, exceptionError("unknown exception"));
  }
}

void ALKQueueFilter::executeBlock(const std::function<void()>& block) { block(); }

bool ALKQueueFilter::waitUntilDrained(std::chrono::steady_clock::time_point deadline) {
  if (executionQueue_->isCurrent()) {
    drainExecutionQueue();
    return true;
  }
  struct Drained {
    std::mutex mutex;  // guards done; any thread
    std::condition_variable changed;
    bool done = false;
  };
  const auto drained = std::make_shared<Drained>();
  // The queue is serial: the block runs after every run posted before it.
  executionQueue_->async([self = sharedAs<ALKQueueFilter>(), drained] {
    self->drainExecutionQueue();
    std::lock_guard lock(drained->mutex);
    drained->done = true;
    drained->changed.notify_all();
  });
  std::unique_lock lock(drained->mutex);
  return drained->changed.wait_until(lock, deadline, [&] { return drained->done; });
}

void ALKQueueFilter::complete(const platform::ObjectPtr& object, platform::ObjectPtr output,
                              platform::ErrorPtr error) {
  if (!error && isCancelled()) error = platform::Error::cancelled();
  const bool woken = wokenDuringRun_.exchange(false);
  setExecuting(false);
  lastExecutedTime_.store(clock_->now());
  ALKLog::debug(this, "Did execute {%@ -> %@, cancelled: %d, error: %@}", object, output, isCancelled(), error);
  cancelled_.store(false);

  if (!error && inputQueue_) {
    if (inputQueue_->peekObject() == object) {
      inputQueue_->dequeueObject();
    } else {
      ALKLog::warning(this, "Filtered activity is already dequeued {%@}", object);
    }
  }
  if (!isClosed() && completionBlock_) {
    const CompletionBlock block = completionBlock_;  // the block may replace itself
    block(*this, output, error);
  }
  if (canProceedWithNextObjectAfterCompletionWithError(error)) {
    ALKLog::debug(this, "Process next execution of the filter operation");
    execute();
  } else if (woken && canExecute() && executionBlock_) {
    ALKLog::debug(this, "Execute again: woken during the run");
    execute();
  } else {
    listenToInputQueue();
    if (error && !isClosed() && !shouldProceedAfterError(error)) setHalted(true);
  }
  if (!error && output && outputQueue_ && !outputQueue_->enqueueObject(output)) {
    ALKLog::error(this, "Output refused by the output queue, dropped {%@}", output);
  }
}

bool ALKQueueFilter::canProceedWithNextObjectAfterCompletionWithError(const platform::ErrorPtr& error) const {
  if (isClosed() || !active_ || !inputQueue_ || inputQueue_->isEmpty()) return false;
  return !error || shouldProceedAfterError(error);
}

bool ALKQueueFilter::shouldProceedAfterError(const platform::ErrorPtr& error) const {
  if (!proceedErrorHandler_) return true;
  bool stop = false;
  proceedErrorHandler_(error, stop);
  return !stop;
}

bool ALKQueueFilter::hasInputObjectsAvailable() const { return inputQueue_ && !inputQueue_->isEmpty(); }

void ALKQueueFilter::queueDidEnqueueObjects(IALKQueue&, const std::vector<platform::ObjectPtr>&) {
  ALKLogIndent indent;
  if (isClosed() || isExecuting() || isSuspended()) return;
  ALKLog::debug(this, "Detected changes in the input queue");
  execute();
}

void ALKQueueFilter::cancel() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Cancel");
  if (isExecuting()) cancelled_.store(true);
}

void ALKQueueFilter::close() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Close execution of the filter operation. {closed: %d, cancelled: %d, executing: %d}",
                isClosed(), isCancelled(), isExecuting());
  closed_.store(true);
  cancel();
  if (inputQueue_) inputQueue_->setDelegate({});
}

platform::Value ALKQueueFilter::propertyForKey(const std::string& key) const {
  std::lock_guard lock(propertiesMutex_);
  return properties_ ? properties_->objectForKey(key) : platform::Value();
}

void ALKQueueFilter::setProperty(platform::Value value, const std::string& key) {
  std::lock_guard lock(propertiesMutex_);
  if (value.isNil()) {
    if (properties_) properties_->remove(key);
    return;
  }
  ALKLogIndent indent;
  ALKLog::debug(this, "Set property {%@ : %@}", key, value);
  if (!properties_) properties_.emplace();
  properties_->set(key, std::move(value));
}

std::optional<platform::Dictionary> ALKQueueFilter::properties() const {
  std::lock_guard lock(propertiesMutex_);
  return properties_;
}

double ALKQueueFilter::dequeueRate() const { return propertyForKey(kDequeueRateKey).doubleValue(); }

void ALKQueueFilter::setDequeueRate(double seconds) { setProperty(platform::Value(seconds), kDequeueRateKey); }

void ALKQueueFilter::setExecutionQueue(std::shared_ptr<platform::DispatchQueue> queue) {
  executionQueue_ = queue ? std::move(queue) : platform::DispatchQueue::main();
}

IALKQueueFilter::Type ALKQueueFilter::type() const {
  if (inputQueue_ && outputQueue_) return Type::Transform;
  if (inputQueue_) return Type::Consumer;
  return outputQueue_ ? Type::Producer : Type::Neither;
}

platform::Value ALKQueueFilter::valueForKey(const std::string& key) const {
  if (key == "executing") return platform::Value(isExecuting());
  if (key == "halted") return platform::Value(isHalted());
  return IALKQueueFilter::valueForKey(key);
}

void ALKQueueFilter::setExecuting(bool executing) {
  willChangeValueForKey("executing");
  executing_.store(executing);
  didChangeValueForKey("executing");
}

void ALKQueueFilter::setHalted(bool halted) {
  if (halted_.load() == halted) return;
  willChangeValueForKey("halted");
  halted_.store(halted);
  didChangeValueForKey("halted");
}
