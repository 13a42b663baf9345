#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>

#include "ALKActivity.h"
#include "ALKActivityStore.h"
#include "ALKPipeline.h"
#include "ALKQueue.h"
#include "ALKReadActivityRequestFilter.h"
#include "ALKRemoveActivityRequestFilter.h"
#include "ALKWriteActivityRequestFilter.h"
#include "Archiving/KeyedCoding.h"
#include "Dispatch/DispatchQueue.h"
#include "RunLoop/RunLoop.h"
#include "EngineTestSupport.h"

// Checks `condition`, which the file or another process makes true (no event
// of this thread's run loop tells when), between short run-loop waits of this
// thread, for at most `limit`.
inline bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::RunLoop::current().runUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
  }
  return true;
}

// The (timestamp, state) of every row in the file, earliest first, read
// through a connection of the test's own; empty when there is no table.
inline std::vector<std::pair<double, int>> rowsInFile(const std::string& path) {
  std::vector<std::pair<double, int>> rows;
  try {
    SQLite::Database database(path, SQLite::OPEN_READONLY, 5000);
    SQLite::Statement query(database, "SELECT ZTIMESTAMP, ZSTATE FROM ZACTIVITYREQUEST ORDER BY ZTIMESTAMP");
    while (query.executeStep()) rows.emplace_back(query.getColumn(0).getDouble(), query.getColumn(1).getInt());
  } catch (const SQLite::Exception&) {
  }
  return rows;
}

// Runs SQL on the file through a connection of the test's own.
inline void execInFile(const std::string& path, const std::string& sql) {
  SQLite::Database database(path, SQLite::OPEN_READWRITE, 5000);
  database.exec(sql);
}

inline std::shared_ptr<ALKActivity> activityStamped(double timestamp) {
  auto activity = activityOfType("event");
  activity->setTimestamp(timestamp);
  return activity;
}

// A hit stamped `timestamp` with a property nested one level deeper than an
// archive holds: it can never be stored.
inline std::shared_ptr<ALKActivity> unarchivableActivityStamped(double timestamp) {
  platform::Value deep("leaf");
  for (std::size_t level = 0; level <= platform::kKeyedArchiveMaxDepth; ++level) deep = platform::Array{deep};
  auto activity = activityStamped(timestamp);
  activity->setValue(deep, "deep");
  return activity;
}

// The store stages in a pipeline on their own serial queue, with a stage on
// the main queue in the sender's place: write -> (store) -> read -> A ->
// sender -> B -> remove. The sender records the timestamp of each hit it is
// given and fails when `sendError` answers an error.
struct StorePipeline {
  explicit StorePipeline(const std::string& path) {
    store = ALKActivityStore::activityStoreWithURL(platform::Url::fileUrl(path));
    write = ALKWriteActivityRequestFilter::filterWithActivityStore(store, input, nullptr, queue);
    read = ALKReadActivityRequestFilter::filterWithActivityStore(store, queueA, queue);
    sender = ALKQueueFilter::make(
        queueA, queueB, true, platform::DispatchQueue::main(),
        [this](ALKQueueFilter& filter, const platform::ObjectPtr& object, const ALKQueueFilter::Finish& finish) {
          const double timestamp = std::static_pointer_cast<ALKActivity>(object)->timestamp();
          sent.push_back(timestamp);
          removalsPendingAtSend.push_back(queueB->count());
          if (holdSends) return;  // the run never ends
          platform::ErrorPtr error = sendError ? sendError(timestamp) : nullptr;
          finish(filter, error ? nullptr : object, error);
        },
        nullptr);
    remove = ALKRemoveActivityRequestFilter::filterWithActivityStore(store, queueB, nullptr, queue);
    // The writer has no output queue: the store carries the hits on.
    pipeline = ALKPipeline::pipelineWithFilters({write, read, sender, remove});
  }
  ~StorePipeline() {
    pipeline->closeAndDrain(std::chrono::seconds(5));
    drainMainRunLoop();
  }

  void dispatch() {
    pipeline->setSuspended(false);
    pipeline->execute();
  }
  // Waits until the read stage is idle again.
  void readOnce() {
    read->execute();
    pumpUntil([&] { return !read->isExecuting(); });
  }

  const std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::serial("com.ZidodidurEro.activityStoreFilter");
  const std::shared_ptr<ALKQueue> input = ALKQueue::queue();
  const std::shared_ptr<ALKQueue> queueA = ALKQueue::queue();
  const std::shared_ptr<ALKQueue> queueB = ALKQueue::queue();
  std::shared_ptr<ALKActivityStore> store;
  std::shared_ptr<ALKWriteActivityRequestFilter> write;
  std::shared_ptr<ALKReadActivityRequestFilter> read;
  std::shared_ptr<ALKQueueFilter> sender;
  std::shared_ptr<ALKRemoveActivityRequestFilter> remove;
  std::shared_ptr<ALKPipeline> pipeline;
  // Main thread.
  std::function<platform::ErrorPtr(double timestamp)> sendError;
  bool holdSends = false;
  std::vector<double> sent;
  std::vector<std::size_t> removalsPendingAtSend;
};
