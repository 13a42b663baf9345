#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ALKActivity.h"
#include "ALKActivityRequest.h"
#include "ALKActivityRequestID.h"
#include "ALKActivityStoreFile.h"
#include "ALKClock.h"
#include "ALKFetchRequest.h"
#include "Errors/Error.h"
#include "Values/Object.h"
#include "Values/Url.h"
#include "Values/Value.h"

namespace SQLite {
class Database;
class Statement;
}  // namespace SQLite

// Posted synchronously on the saving thread with the store as sender: once
// per save that has changes, before the will-save one (no user info), then
// before and after the write, both with the context's notification under
// "underlyingNotification"; the did-save one lists the saved rows (snapshots
// keeping their last values) under "inserted", "updated" and "deleted".
inline constexpr const char* ALKActivityStoreDidChangeNotification = "ALKActivityStoreDidChangeNotification";
inline constexpr const char* ALKActivityStoreWillSaveNotification = "ALKActivityStoreWillSaveNotification";
inline constexpr const char* ALKActivityStoreDidSaveNotification = "ALKActivityStoreDidSaveNotification";
inline constexpr const char* ALKActivityStoreUnderlyingNotificationKey = "underlyingNotification";
inline constexpr const char* ALKInsertedObjectsKey = "inserted";
inline constexpr const char* ALKUpdatedObjectsKey = "updated";
inline constexpr const char* ALKDeletedObjectsKey = "deleted";
// SQLite's result codes, with its message as the localized description.
inline constexpr const char* ALKSQLiteErrorDomain = "NSSQLiteErrorDomain";
// NSCocoaErrorDomain: a row that no longer exists; a file made for another
// model; an activity that cannot be archived.
inline constexpr std::int64_t kALKObjectNotFoundError = 133000;
inline constexpr std::int64_t kALKIncompatibleStoreError = 134100;
inline constexpr std::int64_t kALKActivityNotArchivableError = 4866;

// The pending hits of one tracker in an SQLite file, with a context of its
// own: one connection opened lazily, an identity map of the rows it has
// handed out, and the unsaved changes (inserted, changed, deleted rows) that
// only save() writes, in one IMMEDIATE transaction. Counts and plain fetches
// see the unsaved changes; grouped fetches see the file.
//
// The file on disk is ALKActivityStoreFile's: where it is, how it is opened,
// the journal kept for the room on the disk, and setting a damaged file
// aside. A failed open (a full disk, a lock, a folder in the way, a file it
// may not write, a read that fails) is tried again by later uses for as
// long as the store lives, at a growing interval; only a valid store file of
// another model or version, or a path longer than SQLite takes, is refused
// for good. No file is ever deleted for a failed open.
//
// Before a save the store checks that its path still leads to the file it
// opened: when the file or its folder was removed or replaced, it logs one
// WARNING, opens the file at the path and saves there what it holds. A look
// that fails (EIO, EACCES) says nothing: the save fails, to be tried again,
// as it does while the file at the path cannot be opened; a file that the
// open finds to be the one in use is not written twice.
// When SQLite answers that the file is damaged, at a read or a write, and a
// second look confirms it, the file goes aside and the rows the store holds
// in memory are written into a new file at the path; any other failure of a
// save (a read that failed, a full disk) leaves the changes unsaved, to be
// tried again on the store's schedule.
//
// Threads: no lock. One store object is used on one serial line of execution
// (the store queue); the save notifications are posted there. Another thread
// that wants to know whether the file holds rows asks
// countActivityRequestsInFile, which opens a connection of its own.
class ALKActivityStore : public platform::Object {
  struct Private {
    explicit Private() = default;
  };

 public:
  static constexpr const char* kDefaultModelURL = "ALKActivityRequest.momd";
  // Turns a grouped fetch's dictionary into what the caller wants; nil is left out.
  using Transcoder = std::function<platform::Value(const platform::Value& result)>;

  // A closed store at `storeURL` (a file URL); nil, with "Invalid arguments",
  // without one of the two.
  static std::shared_ptr<ALKActivityStore> activityStoreWithURL(
      const std::optional<platform::Url>& storeURL,
      const std::optional<std::string>& modelURL = std::string(kDefaultModelURL));
  ALKActivityStore(Private, platform::Url storeURL, std::string modelURL);
  ~ALKActivityStore() override;

  // A failed open is tried again by the first call at least an interval
  // after it: kFirstOpenRetryInterval, doubled after each failure up to
  // kMaxOpenRetryInterval. Each failure has its ERROR line.
  static constexpr std::chrono::milliseconds kFirstOpenRetryInterval{1000};
  static constexpr std::chrono::milliseconds kMaxOpenRetryInterval{60000};

  // The connection, opened on the first call; nullptr while the file cannot
  // be opened, for good when it is a store of another model or version, and
  // after close().
  SQLite::Database* context();
  // The clock that times the tries of a failed open. Store queue.
  void setClock(std::shared_ptr<ALKClock> clock) { clock_ = std::move(clock); }
  const std::shared_ptr<ALKClock>& clock() const { return clock_; }
  // After a write that failed because the file could not be opened, or a
  // save that failed: when, by clock(), trying again is worth it (the next
  // try of the open, or 1 s after a failed save doubling up to a minute);
  // nullopt when nothing failed. Store queue.
  std::optional<platform::DispatchTime> retryTime() const;
  // Counts the files the store has made its own at its path: it grows when
  // the connection goes to another file (after a move aside or a reset), so
  // that a count of rows taken before says nothing any more. Any thread.
  std::uint64_t fileGeneration() const { return fileGeneration_.load(); }
  // Whether the connection is open, or a file (not a folder) is at the path.
  bool hasStoreData() const;
  // Writes the unsaved changes. False without a connection (error untouched)
  // or when the write fails (error set; the changes stay unsaved).
  bool save(platform::ErrorPtr* error = nullptr);
  bool hasChanges() const;
  // Drops the unsaved changes, closes the connection and deletes the file
  // with its -wal, -shm and -journal companions; the next use makes a new
  // file. False without a connection. False too when a file could not be
  // deleted: the next use then opens what is left, or fails with an error.
  bool resetDataStore();
  // Closes the connection for good; the unsaved changes are dropped.
  void close();

  // Nullopt (with the error) when the fetch fails, and without a connection.
  std::optional<std::vector<platform::Value>> executeFetchRequest(const ALKFetchRequest& request,
                                                                  platform::ErrorPtr* error = nullptr,
                                                                  const Transcoder& transcoder = nullptr);
  // 0 without a connection; nullopt (with the error) when the count fails.
  // The request's limit caps the count.
  std::optional<std::size_t> countForFetchRequest(const ALKFetchRequest& request, platform::ErrorPtr* error = nullptr);
  // The row of a grouped result's "objectID".
  Transcoder managedObjectIdToObjectTranscodeBlock();
  // The row with this ID, nullptr when there is none.
  std::shared_ptr<ALKActivityRequest> objectWithID(const std::shared_ptr<ALKActivityRequestID>& objectID);
  std::shared_ptr<ALKActivityRequest> existingObjectWithID(const std::shared_ptr<ALKActivityRequestID>& objectID,
                                                           platform::ErrorPtr* error);
  // Deletes the row from the context (not saved).
  bool removeExistingObjectWithID(const std::shared_ptr<ALKActivityRequestID>& objectID);
  // A new row in the context (not saved); nullptr without a connection.
  std::shared_ptr<ALKActivityRequest> insertNewActivityRequest();
  void deleteObject(const std::shared_ptr<ALKActivityRequest>& row);

  // The rows of the SQLite file at `path`, through a read-only connection of
  // its own that never creates the file or the schema: 0 without a file,
  // nullopt when it cannot be read (a missing table included). Any thread.
  static std::optional<std::size_t> countActivityRequestsInFile(const std::string& path);

  // Row operations; none of them saves (ALKActivityStoreActivityRequest.cpp).
  // Each answers 0 or nil, without opening anything, when hasStoreData() is NO.
  // With a limit, counts no further than it.
  std::optional<std::size_t> countActivityRequestsWithPredicate(std::optional<double> timestamp,
                                                                platform::ErrorPtr* error = nullptr,
                                                                std::size_t limit = ALKFetchRequest::kNoLimit);
  // 0 also when the count fails.
  std::size_t numberOfActivityRequests();
  static ALKFetchRequest fetchRequestForEarliestActivityRequests(std::optional<double> timestamp, std::size_t offset,
                                                                 std::size_t limit);
  static ALKFetchRequest fetchRequestForLatestActivityRequests(std::optional<double> timestamp, std::size_t offset,
                                                               std::size_t limit);
  std::optional<std::vector<std::shared_ptr<ALKActivityRequest>>> earliestActivityRequests(
      std::optional<double> timestamp, std::size_t offset, std::size_t limit);
  std::optional<std::vector<std::shared_ptr<ALKActivityRequest>>> latestActivityRequests(
      std::optional<double> timestamp, std::size_t offset, std::size_t limit);
  std::shared_ptr<ALKActivityRequest> earliestActivityRequest(std::optional<double> timestamp = std::nullopt);
  std::shared_ptr<ALKActivityRequest> latestActivityRequest(std::optional<double> timestamp = std::nullopt);
  // A row with this timestamp, seeing unsaved changes; of several, one in
  // state 1 first.
  std::shared_ptr<ALKActivityRequest> activityRequestWithTimestamp(double timestamp);
  // A new row under the capacity, stamped `timestamp` when finite and
  // positive, else with the activity's own "timestamp" when it has a finite
  // one, else now. The row holds the archivable form of the activity
  // (ALKActivityToDataTransformer), stamped like the row when its own stamp
  // was not finite. nullptr when the capacity is reached (with its ERROR
  // line, error nil), and with an error when there is no connection, the
  // count fails or the activity cannot be archived.
  std::shared_ptr<ALKActivityRequest> addRequestWithActivity(const std::shared_ptr<ALKActivity>& activity,
                                                             const std::optional<std::string>& urlString,
                                                             double timestamp, platform::ErrorPtr* error = nullptr);
  bool removeActivityRequestWithTimestamp(double timestamp);
  void removeActivityRequest(const std::shared_ptr<ALKActivityRequest>& row);
  bool removeAllActivityRequests() { return resetDataStore(); }

  const platform::Url& storeURL() const { return storeURL_; }
  const std::string& modelURL() const { return modelURL_; }
  std::string storePath() const { return storeURL_.filePath(); }
  // 0 for no limit.
  std::size_t capacity() const { return capacity_; }
  void setCapacity(std::size_t capacity) { capacity_ = capacity; }

 private:
  struct Statements;

  // Makes `database` the connection, closing the one in use; without one,
  // the failed open `error` is tried again on the store's schedule, or never.
  SQLite::Database* useConnection(std::unique_ptr<SQLite::Database> database, const platform::ErrorPtr& error);
  // Closes the connection (the file goes aside when it was found damaged)
  // and opens the file at the path; the rows in memory become new rows of
  // it, written by the next save. Whether there is a connection again.
  bool moveToNextFile();
  // Before a save: nothing when the path leads to the file in use. When it
  // is gone or replaced, the connection goes to the file at the path, as
  // moveToNextFile does. A look that could not tell, or an open that failed
  // but may pass, keeps the connection in use and fails the save with its
  // error.
  platform::ErrorPtr followTheFileAtThePath();
  // The rows in memory, unsaved or saved, become rows to insert into the
  // next file; the deletions pending count as done.
  void holdRowsForTheNextFile();
  // Runs `read`; when SQLite finds the file damaged, and a second look
  // confirms it, once more on the new file. False, with the error and
  // `failureLine` at ERROR, when it fails.
  bool readRecovering(const char* failureLine, platform::ErrorPtr* error, const std::function<void()>& read);
  // Writes the unsaved changes in one transaction; throws what SQLite reports.
  void writeChanges(const std::vector<std::shared_ptr<ALKActivityRequest>>& updated, std::vector<std::int64_t>& newKeys);
  // A full-disk error when storing the new rows would leave the disk less
  // room than the journal needs to go back into the file; otherwise nullptr.
  platform::ErrorPtr roomForNewRows();
  // Why no connection is there, for a write that needs one.
  platform::ErrorPtr unreachableError() const;
  void closeConnection();
  SQLite::Statement& statement(std::string_view sql);
  std::shared_ptr<ALKActivityRequest> rowFromStatement(SQLite::Statement& query);
  std::optional<std::vector<platform::Value>> groupedFetch(const ALKFetchRequest& request);
  std::vector<platform::Value> plainFetch(const ALKFetchRequest& request);
  bool isPendingDeletion(std::int64_t key) const;
  std::optional<std::vector<std::shared_ptr<ALKActivityRequest>>> rowsOfGroupedFetch(const ALKFetchRequest& request);
  void postNotification(const char* name, const platform::Dictionary* underlying);

  const platform::Url storeURL_;
  const std::string modelURL_;
  std::size_t capacity_ = 0;
  // Set once the connection is open, or when no open is to be tried again.
  bool skipUpdateContext_ = false;
  int failedOpens_ = 0;
  platform::DispatchTime nextOpen_ = platform::kDispatchTimeNow;
  int failedSaves_ = 0;
  platform::DispatchTime nextSave_ = platform::kDispatchTimeNow;
  platform::ErrorPtr openError_;
  std::shared_ptr<ALKClock> clock_ = std::make_shared<ALKClock>();
  ALKActivityStoreFile file_;
  std::atomic<std::uint64_t> fileGeneration_{0};

  std::unique_ptr<SQLite::Database> database_;
  std::unique_ptr<Statements> statements_;
  std::unordered_map<std::int64_t, std::shared_ptr<ALKActivityRequest>> registered_;  // saved rows by key
  std::vector<std::shared_ptr<ALKActivityRequest>> inserted_;
  std::vector<std::shared_ptr<ALKActivityRequest>> deleted_;  // saved rows
  // Rows deleted while their file went aside: the next save tells them as deleted.
  std::vector<std::shared_ptr<ALKActivityRequest>> vanished_;
  std::int64_t nextTemporaryID_ = 1;
};
