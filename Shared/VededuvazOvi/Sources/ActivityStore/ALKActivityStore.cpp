#include "ALKActivityStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>

#include <SQLiteCpp/SQLiteCpp.h>

#include "ALKActivityToDataTransformer.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Observation/NotificationCenter.h"
#include "Values/Date.h"

namespace {

constexpr int kBusyTimeoutMilliseconds = 5000;
constexpr const char* kModelIdentifier = "ALKActivityRequest";
constexpr int kModelVersion = 1;
constexpr std::size_t kRegisteredRowsKept = 128;
constexpr const char* kRowColumns = "Z_PK, ZSTATE, ZTIMESTAMP, ZURLSTRING, ZACTIVITY";
// The suffixes of the files that make one store: the journal companions
// SQLite keeps beside it first, so that a file moved or removed in this order
// never leaves a journal that a new file at the path would pick up.
constexpr std::array<const char*, 4> kStoreFileSuffixes = {"-wal", "-shm", "-journal", ""};

const char* const kSchema[] = {
    ("CREATE TABLE ZACTIVITYREQUEST (Z_PK INTEGER PRIMARY KEY, ZSTATE INTEGER NOT NULL DEFAULT 0, "
     "ZTIMESTAMP REAL NOT NULL, ZURLSTRING TEXT, ZACTIVITY BLOB)"),
    "CREATE INDEX ZACTIVITYREQUEST_ZTIMESTAMP_INDEX ON ZACTIVITYREQUEST (ZTIMESTAMP)",
    "CREATE INDEX ZACTIVITYREQUEST_ZURLSTRING_ZTIMESTAMP_INDEX ON ZACTIVITYREQUEST (ZURLSTRING, ZTIMESTAMP)",
    "CREATE TABLE Z_METADATA (Z_VERSION INTEGER NOT NULL, Z_MODEL TEXT NOT NULL)",
};

platform::ErrorPtr sqliteError(const SQLite::Exception& exception) {
  return platform::Error::make(ALKSQLiteErrorDomain, exception.getErrorCode(),
                               platform::Dictionary{{platform::Error::kLocalizedDescriptionKey, exception.what()}});
}

platform::ErrorPtr posixError(int code, const std::string& path) {
  return platform::Error::make(platform::Error::kPOSIXErrorDomain, code,
                               platform::Dictionary{{platform::Error::kFilePathKey, path}});
}

// Makes the missing folders above `path` with mode 0700.
bool makeFolders(const std::filesystem::path& folder, platform::ErrorPtr& error) {
  std::error_code code;
  if (folder.empty() || std::filesystem::is_directory(folder, code)) return true;
  if (!makeFolders(folder.parent_path(), error)) return false;
  if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return true;
  error = posixError(errno, folder.string());
  return false;
}

// Removes `path` when something is there; false, with `error`, when that fails.
bool removeFile(const std::string& path, platform::ErrorPtr& error) {
  std::error_code code;
  std::filesystem::remove(path, code);
  if (!code) return true;
  error = posixError(code.value(), path);
  return false;
}

// Whether SQLite found the file damaged, or no database at all.
bool isCorruptFile(const platform::ErrorPtr& error) {
  if (!error || error->domain() != ALKSQLiteErrorDomain) return false;
  const std::int64_t primary = error->code() & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// The device and inode of the regular file at `path`; nullopt for anything else.
std::optional<std::pair<std::uint64_t, std::uint64_t>> regularFileIdentity(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return std::pair{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Whether the file or one of the journal files SQLite keeps beside it is there.
bool existsWithCompanions(const std::string& path) {
  std::error_code code;
  return std::ranges::any_of(kStoreFileSuffixes, [&](const char* suffix) {
    return std::filesystem::exists(std::filesystem::symlink_status(path + suffix, code));
  });
}

// "<path>.corrupt-<UTC time>", numbered when files of that name are there.
std::string corruptFileName(const std::string& path, double secondsSince1970) {
  const auto time = static_cast<std::time_t>(secondsSince1970);
  std::tm utc{};
  char stamp[32] = {};
  if (::gmtime_r(&time, &utc)) std::strftime(stamp, sizeof(stamp), "%Y%m%dT%H%M%SZ", &utc);
  const std::string base = path + ".corrupt-" + stamp;
  std::string name = base;
  for (int number = 2; existsWithCompanions(name); ++number) name = base + "." + std::to_string(number);
  return name;
}

// Turning a new file to WAL takes the write lock from inside the read
// transaction of the statement. SQLite never waits for a lock it would
// upgrade so (two connections doing that would wait for each other), busy
// timeout or not: a store opening the same new file at the same moment as
// another gets "database is locked" at once. Tried again here for as long as
// the busy timeout; once the file is in WAL mode, the statement needs no
// write lock.
void setWriteAheadLogging(SQLite::Database& database) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMilliseconds);
  for (;;) {
    try {
      database.exec("PRAGMA journal_mode=WAL");
      return;
    } catch (const SQLite::Exception& exception) {
      if ((exception.getErrorCode() & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

platform::Array snapshots(const std::vector<std::shared_ptr<ALKActivityRequest>>& rows) {
  platform::Array list;
  list.reserve(rows.size());
  for (const auto& row : rows) list.emplace_back(row->snapshot());
  return list;
}

}  // namespace

// The prepared statements of the connection, by their SQL text.
struct ALKActivityStore::Statements {
  std::unordered_map<std::string, std::unique_ptr<SQLite::Statement>> bySQL;
};

std::shared_ptr<ALKActivityStore> ALKActivityStore::activityStoreWithURL(const std::optional<platform::Url>& storeURL,
                                                                         const std::optional<std::string>& modelURL) {
  if (!storeURL || !storeURL->isFileUrl() || !modelURL || modelURL->empty()) {
    ALKLogIndent indent;
    ALKLog::error(ALKLogSource::forClass("ALKActivityStore"), "Invalid arguments");
    return nullptr;
  }
  return std::make_shared<ALKActivityStore>(Private(), *storeURL, *modelURL);
}

ALKActivityStore::ALKActivityStore(Private, platform::Url storeURL, std::string modelURL)
    : storeURL_(std::move(storeURL)), modelURL_(std::move(modelURL)) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init {url: %@}", storeURL_);
}

ALKActivityStore::~ALKActivityStore() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
  closeConnection();
}

SQLite::Database* ALKActivityStore::context() {
  if (skipUpdateContext_) return database_.get();
  if (failedOpens_ > 0 && clock_->now() < nextOpen_) return nullptr;
  ALKLogIndent indent;
  platform::ErrorPtr error;
  if (tryOpen(error)) {
    skipUpdateContext_ = true;
    failedOpens_ = 0;
    openError_ = nullptr;
    return database_.get();
  }
  openError_ = error;
  // A full disk, a lock held by another process or a folder in the way may
  // pass: tried again, ever less often. A store of another model or version
  // stays what it is.
  if (error->is(platform::Error::kCocoaErrorDomain, kALKIncompatibleStoreError)) skipUpdateContext_ = true;
  const auto interval = std::min<std::chrono::milliseconds>(
      kFirstOpenRetryInterval * (std::int64_t{1} << std::min(failedOpens_, 16)), kMaxOpenRetryInterval);
  ++failedOpens_;
  nextOpen_ = platform::dispatchTime(clock_->now(), std::chrono::nanoseconds(interval).count());
  return nullptr;
}

bool ALKActivityStore::tryOpen(platform::ErrorPtr& error) {
  for (bool movedAside = false;;) {
    if (openStack(error)) return true;
    // What the open found stays as it was: no checkpoint into the file, and
    // its -wal is not deleted.
    if (database_) sqlite3_db_config(database_->getHandle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    closeConnection();
    ALKLog::error(this, "Failed to add persistent store, error: %@", error);
    if (movedAside || !isCorruptFile(error) || !moveCorruptFileAside()) return false;
    movedAside = true;
    error = nullptr;
  }
}

bool ALKActivityStore::moveCorruptFileAside() {
  const std::string path = storePath();
  const auto found = regularFileIdentity(path);
  if (!found || found != openedFile_) return false;
  const std::string aside = corruptFileName(path, platform::Date(clock_->currentTimestamp()).timeIntervalSince1970());
  for (const char* suffix : kStoreFileSuffixes) {
    const std::string from = path + suffix;
    const std::string to = aside + suffix;
    if (std::rename(from.c_str(), to.c_str()) == 0 || (errno == ENOENT && *suffix)) continue;
    const auto error = posixError(errno, from);
    ALKLog::error(this, "Unable to move the corrupt store aside {%@ -> %@, %@}", from, to, error);
    return false;
  }
  ALKLog::error(this, "Moved the corrupt store aside {%@ -> %@}", path, aside);
  return true;
}

platform::ErrorPtr ALKActivityStore::unreachableError() const {
  if (openError_) return openError_;
  return platform::Error::make(ALKSQLiteErrorDomain, SQLITE_MISUSE,
                               platform::Dictionary{{platform::Error::kLocalizedDescriptionKey, "store closed"},
                                                    {platform::Error::kFilePathKey, storePath()}});
}

bool ALKActivityStore::openStack(platform::ErrorPtr& error) {
  const std::string path = storePath();
  if (!makeFolders(std::filesystem::path(path).parent_path(), error)) return false;
  // SQLite would make the file with the umask's mode.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno != EEXIST) {
    error = posixError(errno, path);
    return false;
  }
  openedFile_ = regularFileIdentity(path);
  try {
    database_ = std::make_unique<SQLite::Database>(path, SQLite::OPEN_READWRITE, kBusyTimeoutMilliseconds);
    // A file that is no SQLite database fails here, at its first read.
    setWriteAheadLogging(*database_);
    database_->exec("PRAGMA synchronous=NORMAL");
    SQLite::Transaction transaction(*database_, SQLite::TransactionBehavior::IMMEDIATE);
    SQLite::Statement tables(*database_, "SELECT count(*) FROM sqlite_master");
    tables.executeStep();
    if (tables.getColumn(0).getInt64() == 0) {
      for (const char* sql : kSchema) database_->exec(sql);
      SQLite::Statement metadata(*database_, "INSERT INTO Z_METADATA (Z_VERSION, Z_MODEL) VALUES (?, ?)");
      metadata.bind(1, kModelVersion);
      metadata.bind(2, kModelIdentifier);
      metadata.exec();
    } else {
      // No migration: a file made for anything else is refused.
      bool compatible = database_->tableExists("ZACTIVITYREQUEST") && database_->tableExists("Z_METADATA");
      if (compatible) {
        SQLite::Statement metadata(*database_, "SELECT Z_VERSION, Z_MODEL FROM Z_METADATA");
        compatible = metadata.executeStep() && metadata.getColumn(0).getInt() == kModelVersion &&
                     metadata.getColumn(1).getString() == kModelIdentifier;
      }
      if (!compatible) {
        error = platform::Error::make(platform::Error::kCocoaErrorDomain, kALKIncompatibleStoreError,
                                      platform::Dictionary{{platform::Error::kFilePathKey, path}});
        return false;
      }
    }
    transaction.commit();
  } catch (const SQLite::Exception& exception) {
    error = sqliteError(exception);
    return false;
  }
  statements_ = std::make_unique<Statements>();
  return true;
}

void ALKActivityStore::closeConnection() {
  statements_.reset();
  database_.reset();
}

SQLite::Statement& ALKActivityStore::statement(const std::string& sql) {
  auto& slot = statements_->bySQL[sql];
  if (!slot) {
    slot = std::make_unique<SQLite::Statement>(*database_, sql);
  } else {
    // A step that failed left its error to the reset; it was reported then.
    slot->tryReset();
    slot->clearBindings();
  }
  return *slot;
}

namespace {

// Resets a read statement when the read is done with it: a statement that
// stopped before its last row keeps its read transaction open, and a write of
// another connection meanwhile would make the next save fail on the stale
// snapshot.
struct ResetAfterRead {
  SQLite::Statement& statement;
  ~ResetAfterRead() { statement.tryReset(); }
};

}  // namespace

bool ALKActivityStore::hasStoreData() const {
  if (database_) return true;
  std::error_code code;
  const auto status = std::filesystem::status(storePath(), code);
  return !code && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

bool ALKActivityStore::hasChanges() const {
  return !inserted_.empty() || !deleted_.empty() ||
         std::ranges::any_of(registered_, [](const auto& entry) { return entry.second->hasChanges(); });
}

void ALKActivityStore::postNotification(const char* name, const platform::Dictionary* underlying) {
  platform::Dictionary userInfo;
  if (underlying) userInfo.set(ALKActivityStoreUnderlyingNotificationKey, *underlying);
  platform::NotificationCenter::defaultCenter().post(name, this, userInfo);
}

bool ALKActivityStore::save(platform::ErrorPtr* error) {
  if (!database_) return false;
  ALKLogIndent indent;
  std::vector<std::shared_ptr<ALKActivityRequest>> updated;
  for (const auto& [key, row] : registered_) {
    if (row->hasChanges() && !isPendingDeletion(key)) updated.push_back(row);
  }
  if (error) *error = nullptr;
  if (inserted_.empty() && updated.empty() && deleted_.empty()) return true;

  ALKLog::debug(this, "Activity context objects did change.");
  postNotification(ALKActivityStoreDidChangeNotification, nullptr);
  ALKLog::debug(this, "Activity context will save.");
  const platform::Dictionary willSave;
  postNotification(ALKActivityStoreWillSaveNotification, &willSave);

  // No row is written without the archive of its activity: one that cannot
  // be made fails the save before anything is written.
  for (const auto& rows : {&inserted_, &updated}) {
    for (const auto& row : *rows) {
      if (!row->activity() || row->hasOnlyStateChanges() || row->archivedActivity_ == row->activity()) continue;
      row->archive_ = ALKActivityRequest::activityTransformer().transformedValue(platform::Value(row->activity()));
      row->archivedActivity_ = row->archive_.isNil() ? nullptr : row->activity();
      if (row->archive_.isNil()) {
        const auto failure = platform::Error::make(platform::Error::kCocoaErrorDomain, kALKActivityNotArchivableError);
        ALKLog::error(this, "Unable to save changes: %@", failure);
        if (error) *error = failure;
        return false;
      }
    }
  }
  const auto bindAttributes = [&](SQLite::Statement& query, const ALKActivityRequest& row) {
    query.bind(1, static_cast<int>(row.state()));
    query.bind(2, row.timestamp());
    if (row.urlString()) {
      query.bind(3, *row.urlString());
    } else {
      query.bind(3);
    }
    if (const auto* data = row.activity() ? row.archive_.data() : nullptr) {
      query.bind(4, data->data(), static_cast<int>(data->size()));
    } else {
      query.bind(4);
    }
  };
  std::vector<std::int64_t> newKeys;
  try {
    // Begun and committed through statements prepared once: every hit saves
    // three times.
    statement("BEGIN IMMEDIATE").exec();
    for (const auto& row : inserted_) {
      auto& insert = statement("INSERT INTO ZACTIVITYREQUEST (ZSTATE, ZTIMESTAMP, ZURLSTRING, ZACTIVITY) "
                               "VALUES (?, ?, ?, ?)");
      bindAttributes(insert, *row);
      insert.exec();
      newKeys.push_back(database_->getLastInsertRowid());
    }
    for (const auto& row : updated) {
      // A row being marked read changes its state only: the archive stays.
      if (row->hasOnlyStateChanges()) {
        auto& mark = statement("UPDATE ZACTIVITYREQUEST SET ZSTATE = ? WHERE Z_PK = ?");
        mark.bind(1, static_cast<int>(row->state()));
        mark.bind(2, row->objectID()->number());
        mark.exec();
        continue;
      }
      auto& update = statement("UPDATE ZACTIVITYREQUEST SET ZSTATE = ?, ZTIMESTAMP = ?, ZURLSTRING = ?, "
                               "ZACTIVITY = ? WHERE Z_PK = ?");
      bindAttributes(update, *row);
      update.bind(5, row->objectID()->number());
      update.exec();
    }
    for (const auto& row : deleted_) {
      auto& remove = statement("DELETE FROM ZACTIVITYREQUEST WHERE Z_PK = ?");
      remove.bind(1, row->objectID()->number());
      remove.exec();
    }
    statement("COMMIT").exec();
  } catch (const SQLite::Exception& exception) {
    // A failed step, or a commit that could not take its lock, leaves the
    // transaction open: nothing of it is kept.
    if (!sqlite3_get_autocommit(database_->getHandle())) database_->tryExec("ROLLBACK");
    const auto failure = sqliteError(exception);
    ALKLog::error(this, "Unable to save changes: %@", failure);
    if (error) *error = failure;
    return false;
  }

  for (std::size_t index = 0; index < inserted_.size(); ++index) {
    inserted_[index]->didSave(ALKActivityRequestID::permanentID(this, newKeys[index]));
    registered_[newKeys[index]] = inserted_[index];
  }
  for (const auto& row : updated) row->didSave(row->objectID());
  // The file holds the archives now.
  for (const auto& rows : {&inserted_, &updated}) {
    for (const auto& row : *rows) {
      row->archive_ = platform::Value();
      row->archivedActivity_ = nullptr;
    }
  }
  for (const auto& row : deleted_) registered_.erase(row->objectID()->number());
  const platform::Dictionary didSave{{ALKInsertedObjectsKey, snapshots(inserted_)},
                                     {ALKUpdatedObjectsKey, snapshots(updated)},
                                     {ALKDeletedObjectsKey, snapshots(deleted_)}};
  inserted_.clear();
  deleted_.clear();
  // The rows stay known, so that reading back a hit just written decodes
  // nothing; past a bound, those nobody holds are read again when asked for.
  if (registered_.size() > kRegisteredRowsKept) {
    std::erase_if(registered_, [](const auto& entry) { return entry.second.use_count() == 1; });
  }
  ALKLog::debug(this, "Activity context did save.");
  postNotification(ALKActivityStoreDidSaveNotification, &didSave);
  return true;
}

bool ALKActivityStore::resetDataStore() {
  if (!database_) return false;
  ALKLogIndent indent;
  ALKLog::debug(this, "Reset.");
  inserted_.clear();
  deleted_.clear();
  registered_.clear();
  statements_.reset();
  if (sqlite3_stmt* open = sqlite3_next_stmt(database_->getHandle(), nullptr)) {
    const auto error = platform::Error::make(ALKSQLiteErrorDomain, SQLITE_BUSY,
                                             platform::Dictionary{{"statement", sqlite3_sql(open)}});
    ALKLog::error(this, "Unable to remove persistant store. %@", error);
    // The connection stays, and goes on with the file as it is.
    statements_ = std::make_unique<Statements>();
    return false;
  }
  database_.reset();
  // Whatever is left of the file, the next use opens it afresh: a store that
  // works, or one whose writes fail with the error of that open.
  skipUpdateContext_ = false;
  failedOpens_ = 0;
  nextOpen_ = platform::kDispatchTimeNow;
  openError_ = nullptr;
  bool removed = true;
  const std::string path = storePath();
  for (const char* suffix : kStoreFileSuffixes) {
    platform::ErrorPtr error;
    if (!removeFile(path + suffix, error)) {
      ALKLog::error(this, "Unable to remove persistent store file. %@", error);
      removed = false;
    }
  }
  return removed;
}

void ALKActivityStore::close() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Close");
  skipUpdateContext_ = true;
  inserted_.clear();
  deleted_.clear();
  registered_.clear();
  closeConnection();
}

bool ALKActivityStore::isPendingDeletion(std::int64_t key) const {
  return std::ranges::any_of(deleted_, [key](const auto& row) { return row->objectID()->number() == key; });
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::rowFromStatement(SQLite::Statement& query) {
  const std::int64_t key = query.getColumn(0).getInt64();
  if (const auto found = registered_.find(key); found != registered_.end()) return found->second;
  ALKActivityRequest::Attributes attributes;
  attributes.state = static_cast<std::uint16_t>(query.getColumn(1).getInt());
  attributes.timestamp = query.getColumn(2).getDouble();
  if (!query.getColumn(3).isNull()) attributes.urlString = query.getColumn(3).getString();
  const SQLite::Column blob = query.getColumn(4);
  if (!blob.isNull()) {
    const auto* bytes = static_cast<const std::uint8_t*>(blob.getBlob());
    platform::Data data(bytes, bytes + blob.getBytes());
    attributes.activity =
        ALKActivityRequest::activityTransformer().reverseTransformedValue(platform::Value(std::move(data))).objectAs<ALKActivity>();
  }
  auto row = std::make_shared<ALKActivityRequest>(ALKActivityRequestID::permanentID(this, key), std::move(attributes));
  registered_[key] = row;
  return row;
}

std::optional<std::vector<platform::Value>> ALKActivityStore::executeFetchRequest(const ALKFetchRequest& request,
                                                                                  platform::ErrorPtr* error,
                                                                                  const Transcoder& transcoder) {
  if (!context()) return std::nullopt;
  std::optional<std::vector<platform::Value>> results;
  try {
    results = request.grouped ? groupedFetch(request) : plainFetch(request);
  } catch (const SQLite::Exception& exception) {
    const auto failure = sqliteError(exception);
    ALKLog::error(this, "Failed to execute fetch request. %@", failure);
    if (error) *error = failure;
    return std::nullopt;
  }
  ALKLog::debug(this, "Found %zd object(s)", results->size());
  if (transcoder && !results->empty()) {
    std::vector<platform::Value> transcoded;
    transcoded.reserve(results->size());
    for (const auto& result : *results) {
      if (platform::Value value = transcoder(result); !value.isNil()) transcoded.push_back(std::move(value));
    }
    results = std::move(transcoded);
  }
  return results;
}

std::vector<platform::Value> ALKActivityStore::plainFetch(const ALKFetchRequest& request) {
  std::vector<platform::Value> rows;
  auto& query = statement(std::string("SELECT ") + kRowColumns + " FROM ZACTIVITYREQUEST" +
                          (request.timestamp ? " WHERE ZTIMESTAMP = ?" : ""));
  const ResetAfterRead done{query};
  if (request.timestamp) query.bind(1, *request.timestamp);
  while (query.executeStep()) {
    if (isPendingDeletion(query.getColumn(0).getInt64())) continue;
    auto row = rowFromStatement(query);
    if (request.matches(row->timestamp())) rows.emplace_back(std::move(row));
  }
  for (const auto& row : inserted_) {
    if (request.matches(row->timestamp())) rows.emplace_back(row);
  }
  return rows;
}

// The extreme row of each group is looked up directly through the index on
// (URL string, timestamp), so the cost does not grow with the rows of a group.
std::optional<std::vector<platform::Value>> ALKActivityStore::groupedFetch(const ALKFetchRequest& request) {
  const bool min = request.function == ALKFetchRequest::Function::Min;
  const std::string where = request.timestamp ? " AND ZTIMESTAMP = ?" : "";
  const std::string order = min ? " ORDER BY ZTIMESTAMP ASC, Z_PK ASC LIMIT 1" : " ORDER BY ZTIMESTAMP DESC, Z_PK DESC LIMIT 1";
  struct Group {
    std::int64_t key;
    double timestamp;
    std::optional<std::string> urlString;
  };
  std::vector<Group> groups;
  const auto extreme = [&](const std::optional<std::string>& urlString) {
    auto& query = statement("SELECT Z_PK, ZTIMESTAMP FROM ZACTIVITYREQUEST WHERE ZURLSTRING " +
                            std::string(urlString ? "= ?" : "IS NULL") + where + order);
    const ResetAfterRead done{query};
    int index = 1;
    if (urlString) query.bind(index++, *urlString);
    if (request.timestamp) query.bind(index, *request.timestamp);
    if (query.executeStep()) groups.push_back({query.getColumn(0).getInt64(), query.getColumn(1).getDouble(), urlString});
  };
  extreme(std::nullopt);
  std::optional<std::string> previous;
  for (;;) {
    auto& next = statement("SELECT ZURLSTRING FROM ZACTIVITYREQUEST WHERE ZURLSTRING " +
                           std::string(previous ? "> ?" : "IS NOT NULL") + where + " ORDER BY ZURLSTRING LIMIT 1");
    const ResetAfterRead done{next};
    int index = 1;
    if (previous) next.bind(index++, *previous);
    if (request.timestamp) next.bind(index, *request.timestamp);
    if (!next.executeStep()) break;
    previous = next.getColumn(0).getString();
    extreme(previous);
  }
  std::ranges::stable_sort(groups, [&](const Group& a, const Group& b) {
    return request.ascending ? a.timestamp < b.timestamp : a.timestamp > b.timestamp;
  });
  std::vector<platform::Value> results;
  for (std::size_t index = request.offset; index < groups.size() && results.size() < request.limit; ++index) {
    const Group& group = groups[index];
    platform::Dictionary result{{"objectID", ALKActivityRequestID::permanentID(this, group.key)},
                                {"attr_timestamp", group.timestamp}};
    if (group.urlString) result.set("urlString", *group.urlString);
    results.emplace_back(std::move(result));
  }
  return results;
}

std::optional<std::size_t> ALKActivityStore::countForFetchRequest(const ALKFetchRequest& request,
                                                                  platform::ErrorPtr* error) {
  if (!context()) return 0;
  std::int64_t count = 0;
  try {
    // A limit bounds the rows the file is asked to count; the pending
    // deletions may take that many away again.
    const bool bounded = request.limit != ALKFetchRequest::kNoLimit;
    auto& query = statement(std::string("SELECT count(*) FROM (SELECT 1 FROM ZACTIVITYREQUEST") +
                            (request.timestamp ? " WHERE ZTIMESTAMP = ?" : "") + (bounded ? " LIMIT ?" : "") + ")");
    const ResetAfterRead done{query};
    int index = 1;
    if (request.timestamp) query.bind(index++, *request.timestamp);
    if (bounded) query.bind(index, static_cast<std::int64_t>(std::min<std::size_t>(request.limit + deleted_.size(), INT64_MAX)));
    query.executeStep();
    count = query.getColumn(0).getInt64();
  } catch (const SQLite::Exception& exception) {
    const auto failure = sqliteError(exception);
    ALKLog::error(this, "Failed to execute fetch requests. %@", failure);
    if (error) *error = failure;
    return std::nullopt;
  }
  // The unsaved changes count as the context sees them.
  for (const auto& row : deleted_) count -= request.matches(row->timestamp()) ? 1 : 0;
  for (const auto& row : inserted_) count += request.matches(row->timestamp()) ? 1 : 0;
  return std::min(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)), request.limit);
}

ALKActivityStore::Transcoder ALKActivityStore::managedObjectIdToObjectTranscodeBlock() {
  return [this](const platform::Value& result) -> platform::Value {
    const auto* dictionary = result.dictionary();
    const auto objectID = dictionary ? dictionary->objectForKey("objectID").objectAs<ALKActivityRequestID>() : nullptr;
    return objectID ? platform::Value(objectWithID(objectID)) : platform::Value();
  };
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::objectWithID(const std::shared_ptr<ALKActivityRequestID>& objectID) {
  if (!objectID || objectID->store() != this || !context()) return nullptr;
  if (objectID->isTemporaryID()) {
    const auto found = std::ranges::find_if(inserted_, [&](const auto& row) { return row->objectID()->isEqual(*objectID); });
    return found == inserted_.end() ? nullptr : *found;
  }
  if (const auto found = registered_.find(objectID->number()); found != registered_.end()) return found->second;
  try {
    auto& query = statement(std::string("SELECT ") + kRowColumns + " FROM ZACTIVITYREQUEST WHERE Z_PK = ?");
    const ResetAfterRead done{query};
    query.bind(1, objectID->number());
    if (query.executeStep()) return rowFromStatement(query);
  } catch (const SQLite::Exception& exception) {
    ALKLog::error(this, "Failed to execute fetch request. %@", sqliteError(exception));
  }
  return nullptr;
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::existingObjectWithID(
    const std::shared_ptr<ALKActivityRequestID>& objectID, platform::ErrorPtr* error) {
  auto row = objectWithID(objectID);
  if (!row && error) {
    *error = platform::Error::make(platform::Error::kCocoaErrorDomain, kALKObjectNotFoundError);
  }
  return row;
}

bool ALKActivityStore::removeExistingObjectWithID(const std::shared_ptr<ALKActivityRequestID>& objectID) {
  if (!objectID) return false;
  ALKLogIndent indent;
  platform::ErrorPtr error;
  const auto row = existingObjectWithID(objectID, &error);
  if (!row) {
    ALKLog::error(this, "Unable to remove object {id: %@}", objectID);
    return false;
  }
  deleteObject(row);
  ALKLog::debug(this, "Did remove %@", row);
  return true;
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::insertNewActivityRequest() {
  if (!context()) return nullptr;
  auto row = std::make_shared<ALKActivityRequest>(ALKActivityRequestID::temporaryID(this, nextTemporaryID_++),
                                                  ALKActivityRequest::Attributes{});
  inserted_.push_back(row);
  return row;
}

void ALKActivityStore::deleteObject(const std::shared_ptr<ALKActivityRequest>& row) {
  if (!row) return;
  if (row->objectID()->isTemporaryID()) {
    std::erase(inserted_, row);
  } else if (!isPendingDeletion(row->objectID()->number())) {
    deleted_.push_back(row);
  }
}

std::optional<std::size_t> ALKActivityStore::countActivityRequestsInFile(const std::string& path) {
  std::error_code code;
  if (!std::filesystem::is_regular_file(path, code)) return 0;
  try {
    const SQLite::Database database(path, SQLite::OPEN_READONLY, kBusyTimeoutMilliseconds);
    SQLite::Statement query(database, "SELECT count(*) FROM ZACTIVITYREQUEST");
    query.executeStep();
    return static_cast<std::size_t>(query.getColumn(0).getInt64());
  } catch (const SQLite::Exception&) {
    // No table yet, or a file that is no store.
    return std::nullopt;
  }
}
