#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
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

// The bytes of the file at `path`; empty when there is none.
inline std::string fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Overwrites the first page of the table of rows and of each of its indexes
// in the file, whose header and schema stay sound: as a sector gone bad does.
inline void damageTheTableOfRows(const std::string& path) {
  std::vector<std::int64_t> pages;
  std::int64_t pageSize = 0;
  {
    SQLite::Database database("file:" + path + "?immutable=1", SQLite::OPEN_READONLY | SQLite::OPEN_URI);
    SQLite::Statement roots(database, "SELECT rootpage FROM sqlite_master WHERE tbl_name = 'ZACTIVITYREQUEST'");
    while (roots.executeStep()) pages.push_back(roots.getColumn(0).getInt64());
    pageSize = database.execAndGet("PRAGMA page_size").getInt64();
  }
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  for (const std::int64_t page : pages) {
    file.seekp((page - 1) * pageSize);
    file << std::string(static_cast<std::size_t>(pageSize), '\xff');
  }
}

// Every file in `folder` whose name holds `part`, journal files left out.
inline std::vector<std::string> filesNamed(const std::string& folder, const std::string& part) {
  std::vector<std::string> found;
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(folder, code)) {
    const std::string name = entry.path().filename().string();
    const bool journal = name.ends_with("-wal") || name.ends_with("-shm") || name.ends_with("-journal");
    if (!journal && name.find(part) != std::string::npos) found.push_back(entry.path().string());
  }
  std::ranges::sort(found);
  return found;
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
