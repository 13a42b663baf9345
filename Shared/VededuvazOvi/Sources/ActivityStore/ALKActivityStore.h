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
// A failed open (a full disk, a lock, a folder in the way, a file it may not
// write) is tried again by later uses for as long as the store lives, at a
// growing interval; only a valid store file of another model or version is
// refused for good, and left as it was: the open reads such a file through a
// connection that writes nothing before it changes anything. A file that
// SQLite finds corrupt or not a database, at the open (which runs a quick
// check of the file) or at any later read or write, is moved aside with its
// companions under "<name>.corrupt-<UTC time>", never deleted and never onto
// an existing name, and a new file is made at the path; the rows the store
// holds in memory are written there. No file is ever deleted for a failed
// open. A path that is a symbolic link names the file it leads to: that file
// is the store, and is moved aside beside itself.
//
// Processes share the file: each open (the check of the file, a move aside,
// the making of a new file) holds an exclusive lock on the store's folder, so
// that no process moves aside a store another one has just made, and a move
// aside only takes the file that was found corrupt.
//
// The file: WAL journal kept small (checkpoints every few dozen pages, the
// journal cut back after each), synchronous=NORMAL, a busy timeout of a few
// seconds, the table of rows with indexes on the timestamp and on (URL
// string, timestamp), and a metadata table naming the model and its version.
// A new file is made with mode 0600, its companions are given 0600 too,
// missing folders are made with mode 0700. A save that fails for a full disk
// checkpoints, so that the journal gives its space back.
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

  using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;  // device, inode
  // One try, under the folder's lock: moves aside the file found corrupt
  // after an open when it is still at the path, then opens, and after
  // moving aside a file that this open found corrupt, opens once more.
  bool openStack(platform::ErrorPtr& error);
  // Opens the file at `path` (symbolic links resolved); `found` tells the
  // file that was there, for a move aside.
  bool openFile(const std::string& path, std::optional<FileIdentity>& found, platform::ErrorPtr& error);
  // Moves the file at `path`, when it is the file `found`, aside with its
  // companions.
  bool moveCorruptFileAside(const std::string& path, const FileIdentity& found);
  // After a read or a write that found the open file damaged: the connection
  // goes, the file is moved aside by the next open, and the rows in memory
  // become new rows of the next file, written there at once with
  // `writeRows`. Whether there is a connection again.
  bool recoverFromCorruption(const platform::ErrorPtr& error, bool writeRows);
  // Runs `read`; when SQLite finds the file damaged, once more on the new
  // file. False, with the error and `failureLine` at ERROR, when it fails.
  bool readRecovering(const char* failureLine, platform::ErrorPtr* error, const std::function<void()>& read);
  // Writes the unsaved changes in one transaction; throws what SQLite reports.
  void writeChanges(const std::vector<std::shared_ptr<ALKActivityRequest>>& updated, std::vector<std::int64_t>& newKeys);
  // A full-disk error when storing the new rows would leave the disk less
  // room than the journal needs to go back into the file; otherwise nullptr.
  platform::ErrorPtr roomForNewRows();
  // Why no connection is there, for a write that needs one.
  platform::ErrorPtr unreachableError() const;
  void closeConnection();
  SQLite::Statement& statement(const std::string& sql);
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
  // The file the connection has open, and one found damaged after its open
  // that the next open moves aside unless another process did so already.
  std::optional<FileIdentity> openedFile_;
  std::optional<FileIdentity> corruptFile_;
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
