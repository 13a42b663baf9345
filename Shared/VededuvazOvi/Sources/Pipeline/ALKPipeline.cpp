#include "ALKPipeline.h"

#include <algorithm>

#include "ALKLog.h"
#include "ALKLogIndent.h"

std::shared_ptr<ALKPipeline> ALKPipeline::pipelineWithFilters(Filters filters) {
  if (!isValidPipelineFilterSequence(filters)) return nullptr;
  return std::make_shared<ALKPipeline>(Private(), std::move(filters));
}

bool ALKPipeline::isValidPipelineFilterSequence(const Filters& filters) {
  if (filters.empty()) return false;
  std::vector<const IALKQueueFilter*> stages;
  std::vector<const IALKQueue*> queues;
  const auto seenBefore = [](auto& seen, const auto* item) {
    if (std::ranges::find(seen, item) != seen.end()) return true;
    seen.push_back(item);
    return false;
  };
  const IALKQueue* expected = filters.front() ? filters.front()->inputQueue().get() : nullptr;
  if (expected) queues.push_back(expected);
  for (const auto& filter : filters) {
    if (!filter || filter->inputQueue().get() != expected || seenBefore(stages, filter.get())) return false;
    expected = filter->outputQueue().get();
    if (expected && seenBefore(queues, expected)) return false;
  }
  return true;
}

ALKPipeline::ALKPipeline(Private, Filters filters) : filters_(std::move(filters)) { setObservesChanges(true); }

void ALKPipeline::setObservesChanges(bool observes) {
  if (observes == observesChanges_) return;
  observesChanges_ = observes;
  if (!observes) {
    observations_.clear();
    return;
  }
  for (const auto& filter : filters_) {
    if (filter->inputQueue()) observeCount(*filter->inputQueue());
    observations_.push_back(
        filter->addObserver("executing", [this, stage = filter.get()](const std::string&, const platform::KeyValueChange& change) {
          if (!change.oldValue.boolValue() && change.newValue.boolValue()) queueFilterWillExecute(*stage);
        }));
    observations_.push_back(
        filter->addObserver("halted", [this, stage = filter.get()](const std::string&, const platform::KeyValueChange& change) {
          if (!change.oldValue.boolValue() && change.newValue.boolValue()) queueFilterDidHalt(*stage);
        }));
  }
  if (const auto& last = filters_.back()->outputQueue()) observeCount(*last);
}

ALKPipeline::~ALKPipeline() {
  // The tokens would cancel themselves; this keeps the order of close().
  if (observesChanges_) observations_.clear();
}

void ALKPipeline::observeCount(IALKQueue& queue) {
  observations_.push_back(queue.addObserver(
      "count", [this, observed = &queue](const std::string&, const platform::KeyValueChange& change) {
        const std::int64_t before = change.oldValue.integerValue();
        const std::int64_t after = change.newValue.integerValue();
        if (after > before) {
          std::vector<platform::ObjectPtr> head;
          if (auto object = observed->peekObject()) head.push_back(std::move(object));
          queueDidEnqueueObjects(*observed, head);
        } else if (after < before) {
          queueDidDequeueObjects(*observed, {});
        }
      }));
}

std::shared_ptr<ALKQueueFilter> ALKPipeline::firstFilter() const {
  return filters_.empty() ? nullptr : filters_.front();
}

std::shared_ptr<IALKQueue> ALKPipeline::firstInputQueue() const {
  for (const auto& filter : filters_) {
    if (filter->inputQueue()) return filter->inputQueue();
  }
  return nullptr;
}

void ALKPipeline::execute() {
  for (const auto& filter : filters_) filter->execute();
}

void ALKPipeline::setSuspended(bool suspended) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Set suspended: %@", suspended ? "yes" : "no");
  for (const auto& filter : filters_) filter->setSuspended(suspended);
}

void ALKPipeline::cancelFilters() {
  ALKLogIndent indent;
  for (const auto& filter : filters_) filter->cancel();
}

void ALKPipeline::close() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Close");
  setObservesChanges(false);
  for (const auto& filter : filters_) filter->close();
}

bool ALKPipeline::closeAndDrain(std::chrono::steady_clock::duration timeout) {
  close();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool drained = true;
  for (const auto& filter : filters_) drained = filter->waitUntilDrained(deadline) && drained;
  if (!drained) ALKLog::warning(this, "Execution queues still busy after closing");
  return drained;
}

void ALKPipeline::dequeueObjects() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Remove pending objects");
  for (const auto& filter : filters_) {
    if (filter->inputQueue()) filter->inputQueue()->dequeueAllObjects();
    if (filter->outputQueue()) filter->outputQueue()->dequeueAllObjects();
  }
}

bool ALKPipeline::hasPendingObjects() const {
  return std::ranges::any_of(filters_, [](const auto& filter) {
    return (filter->inputQueue() && !filter->inputQueue()->isEmpty()) ||
           (filter->outputQueue() && !filter->outputQueue()->isEmpty());
  });
}

bool ALKPipeline::hasExecutingFilters() const {
  return std::ranges::any_of(filters_, [](const auto& filter) { return filter->isExecuting(); });
}

bool ALKPipeline::hasSuspendedFilters() const {
  return std::ranges::any_of(filters_, [](const auto& filter) { return filter->isSuspended(); });
}

void ALKPipeline::queueDidEnqueueObjects(IALKQueue& queue, const std::vector<platform::ObjectPtr>& objects) {
  if (const auto delegate = delegate_.lock()) delegate->pipelineQueueDidEnqueueObjects(*this, queue, objects);
}

void ALKPipeline::queueDidDequeueObjects(IALKQueue& queue, const std::vector<platform::ObjectPtr>& objects) {
  if (const auto delegate = delegate_.lock()) delegate->pipelineQueueDidDequeueObjects(*this, queue, objects);
}

void ALKPipeline::queueFilterWillExecute(ALKQueueFilter& filter) {
  if (const auto delegate = delegate_.lock()) delegate->pipelineFilterWillExecute(*this, filter);
}

void ALKPipeline::queueFilterDidHalt(ALKQueueFilter& filter) {
  if (const auto delegate = delegate_.lock()) delegate->pipelineFilterDidHalt(*this, filter);
}
