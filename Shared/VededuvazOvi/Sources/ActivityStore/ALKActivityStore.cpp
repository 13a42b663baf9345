#include "ALKActivityStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
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
// The journal is checkpointed once it holds this many pages (it stays near
// 150 KB, where SQLite's own 1,000 pages let it reach 4 MB), and cut back to
// this size when it starts over after a larger transaction: a little above
// what the checkpoints keep it to, so that it is not shrunk and grown again,
// block by block, at every checkpoint.
constexpr int kCheckpointPages = 32;
constexpr int kJournalSizeLimit = 192 * 1024;
// New rows are stored only while the disk keeps room for the journal to go
// into the file and to grow back to its largest, and a few pages more: the
// saves that give room back (removals) and the read marks then always find
// it, where a journal that cannot be checkpointed would fail every save for
// good.
constexpr std::int64_t kSparePages = 4;
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

bool isDiskFull(const platform::ErrorPtr& error) {
  return error && error->domain() == ALKSQLiteErrorDomain && (error->code() & 0xff) == SQLITE_FULL;
}

platform::ErrorPtr sqliteError(int code, const std::string& description, const std::string& path) {
  return platform::Error::make(ALKSQLiteErrorDomain, code,
                               platform::Dictionary{{platform::Error::kLocalizedDescriptionKey, description},
                                                    {platform::Error::kFilePathKey, path}});
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

// Renames, failing with EEXIST rather than replacing what has the new name.
int renameWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system that cannot: a second name, then the first one goes.
  if (::link(from.c_str(), to.c_str()) != 0) return -1;
  return ::unlink(from.c_str());
}

// The file a store path names: the path itself, or where its symbolic links
// lead, whether or not a file is there yet.
bool resolveStorePath(const std::string& path, std::string& resolved, platform::ErrorPtr& error) {
  std::filesystem::path current = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat status {};
    if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      resolved = current.string();
      return true;
    }
    std::array<char, 4096> target{};
    const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
      error = posixError(length < 0 ? errno : ENAMETOOLONG, current.string());
      return false;
    }
    const std::filesystem::path next(std::string(target.data(), static_cast<std::size_t>(length)));
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  error = posixError(ELOOP, path);
  return false;
}

// An exclusive lock on the folder that holds a store, which every opening
// store takes, in this process or another; waits for it as long as SQLite
// waits for a lock. Nothing is made for it; closing the folder releases it.
class FolderLock {
 public:
  FolderLock(const std::string& folder, platform::ErrorPtr& error)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) {
      error = posixError(errno, folder);
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMilliseconds);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
        error = posixError(errno == EINTR ? EWOULDBLOCK : errno, folder);
        ::close(fd_);
        fd_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool isHeld() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Gives the journal files SQLite keeps beside the store the store's own mode:
// SQLite makes them with the mode of the store file, which may have come from
// a backup or another user, and a companion an earlier run could not read or
// write would keep every later open out. Only files of this user are changed;
// false, with the error, when one of another user is in the way.
bool ownCompanions(const std::string& path, platform::ErrorPtr& error) {
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string companion = path + suffix;
    struct stat status {};
    if (::lstat(companion.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    if ((status.st_mode & 07777) == 0600) continue;
    if ((status.st_uid == ::geteuid() || ::geteuid() == 0) && ::chmod(companion.c_str(), 0600) == 0) continue;
    if (::access(companion.c_str(), R_OK | W_OK) != 0) {
      error = posixError(errno, companion);
      return false;
    }
  }
  return true;
}

enum class FileKind { Empty, Store, Foreign };

// What the database holds: nothing yet, the rows of this model and version,
// or anything else.
FileKind kindOfFile(SQLite::Database& database) {
  SQLite::Statement tables(database, "SELECT count(*) FROM sqlite_master");
  tables.executeStep();
  if (tables.getColumn(0).getInt64() == 0) return FileKind::Empty;
  if (!database.tableExists("ZACTIVITYREQUEST") || !database.tableExists("Z_METADATA")) return FileKind::Foreign;
  SQLite::Statement metadata(database, "SELECT Z_VERSION, Z_MODEL FROM Z_METADATA");
  const bool store = metadata.executeStep() && metadata.getColumn(0).getInt() == kModelVersion &&
                     metadata.getColumn(1).getString() == kModelIdentifier;
  return store ? FileKind::Store : FileKind::Foreign;
}

// "file:" URI of a path, for the query parameters of a connection.
std::string fileURI(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof(escaped), "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  return uri;
}

// Looks at the SQLite file at `path` without writing to it or beside it: the
// kind of file, and for a store of this model the quick check of its pages
// (damage reported as SQLITE_CORRUPT). Without a -wal beside it the file is
// read as it stands, which makes no -shm either.
FileKind inspectFile(const std::string& path, bool hasJournal) {
  SQLite::Database database(fileURI(path) + (hasJournal ? "?mode=ro" : "?mode=ro&immutable=1"),
                                  SQLite::OPEN_READONLY | SQLite::OPEN_URI, kBusyTimeoutMilliseconds);
  const FileKind kind = kindOfFile(database);
  if (kind != FileKind::Store) return kind;
  SQLite::Statement check(database, "PRAGMA quick_check");
  if (check.executeStep() && check.getColumn(0).getString() != "ok") {
    throw SQLite::Exception("quick_check: " + check.getColumn(0).getString(), SQLITE_CORRUPT);
  }
  return kind;
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

namespace {

// The interval before the next try after `failures` failed ones.
std::chrono::milliseconds retryInterval(int failures) {
  return std::min<std::chrono::milliseconds>(
      ALKActivityStore::kFirstOpenRetryInterval * (std::int64_t{1} << std::min(std::max(failures - 1, 0), 16)),
      ALKActivityStore::kMaxOpenRetryInterval);
}

}  // namespace

SQLite::Database* ALKActivityStore::context() {
  if (skipUpdateContext_) return database_.get();
  if (failedOpens_ > 0 && clock_->now() < nextOpen_) return nullptr;
  ALKLogIndent indent;
  platform::ErrorPtr error;
  if (openStack(error)) {
    skipUpdateContext_ = true;
    failedOpens_ = 0;
    openError_ = nullptr;
    return database_.get();
  }
  openError_ = error;
  // A full disk, a lock held by another process, a folder in the way or a
  // file this user may not write may pass: tried again, ever less often. A
  // store of another model or version stays what it is.
  if (error->is(platform::Error::kCocoaErrorDomain, kALKIncompatibleStoreError)) skipUpdateContext_ = true;
  ++failedOpens_;
  nextOpen_ = platform::dispatchTime(clock_->now(), std::chrono::nanoseconds(retryInterval(failedOpens_)).count());
  return nullptr;
}

std::optional<platform::DispatchTime> ALKActivityStore::retryTime() const {
  if (!database_ && failedOpens_ > 0 && !skipUpdateContext_) return nextOpen_;
  if (database_ && failedSaves_ > 0) return nextSave_;
  return std::nullopt;
}

bool ALKActivityStore::openStack(platform::ErrorPtr& error) {
  const auto failed = [&] {
    ALKLog::error(this, "Failed to add persistent store, error: %@", error);
    return false;
  };
  std::string path;
  if (!resolveStorePath(storePath(), path, error)) return failed();
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (!makeFolders(folder, error)) return failed();
  const FolderLock lock(folder, error);
  if (!lock.isHeld()) return failed();
  // Unless another process did so already, the file this store found damaged
  // goes aside before anything opens it again.
  if (corruptFile_ && !moveCorruptFileAside(path, *corruptFile_)) {
    error = posixError(EBUSY, path);
    return failed();
  }
  corruptFile_.reset();
  for (bool movedAside = false;;) {
    std::optional<FileIdentity> found;
    if (openFile(path, found, error)) return true;
    // What the open found stays as it was: no checkpoint into the file, and
    // its -wal is not deleted.
    if (database_) sqlite3_db_config(database_->getHandle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    closeConnection();
    failed();
    if (movedAside || !isCorruptFile(error) || !found || !moveCorruptFileAside(path, *found)) return false;
    movedAside = true;
    error = nullptr;
  }
}

bool ALKActivityStore::openFile(const std::string& path, std::optional<FileIdentity>& found, platform::ErrorPtr& error) {
  // SQLite would make the file with the umask's mode.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
      error = posixError(S_ISDIR(status.st_mode) ? EISDIR : EINVAL, path);
      return false;
    }
    // A file this user may not write would open read-only, and every save fail.
    fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) {
    error = posixError(errno, path);
    return false;
  }
  struct stat status {};
  std::array<char, 16> header{};
  const bool statted = ::fstat(fd, &status) == 0;
  const ssize_t headerLength = statted && status.st_size > 0 ? ::pread(fd, header.data(), header.size(), 0) : 0;
  ::close(fd);
  if (!statted) {
    error = posixError(errno, path);
    return false;
  }
  found = FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
  try {
    if (status.st_size > 0) {
      if (headerLength != static_cast<ssize_t>(header.size()) ||
          std::memcmp(header.data(), "SQLite format 3", header.size()) != 0) {
        error = sqliteError(SQLITE_NOTADB, "file is not a database", path);
        return false;
      }
      // No migration: a file made for anything else is refused, before
      // anything is written to it or beside it.
      std::error_code code;
      if (inspectFile(path, std::filesystem::exists(path + "-wal", code)) == FileKind::Foreign) {
        error = platform::Error::make(platform::Error::kCocoaErrorDomain, kALKIncompatibleStoreError,
                                      platform::Dictionary{{platform::Error::kFilePathKey, path}});
        return false;
      }
    }
    if (!ownCompanions(path, error)) return false;
    database_ = std::make_unique<SQLite::Database>(path, SQLite::OPEN_READWRITE | SQLite::OPEN_NOFOLLOW,
                                                   kBusyTimeoutMilliseconds);
    if (sqlite3_db_readonly(database_->getHandle(), "main") == 1) {
      error = sqliteError(SQLITE_READONLY, "attempt to write a readonly database", path);
      return false;
    }
    setWriteAheadLogging(*database_);
    database_->exec("PRAGMA synchronous=NORMAL");
    // The journal stays small, so that the store works on a nearly full disk.
    database_->exec("PRAGMA wal_autocheckpoint=" + std::to_string(kCheckpointPages));
    database_->exec("PRAGMA journal_size_limit=" + std::to_string(kJournalSizeLimit));
    SQLite::Transaction transaction(*database_, SQLite::TransactionBehavior::IMMEDIATE);
    const FileKind kind = kindOfFile(*database_);
    if (kind == FileKind::Empty) {
      for (const char* sql : kSchema) database_->exec(sql);
      SQLite::Statement metadata(*database_, "INSERT INTO Z_METADATA (Z_VERSION, Z_MODEL) VALUES (?, ?)");
      metadata.bind(1, kModelVersion);
      metadata.bind(2, kModelIdentifier);
      metadata.exec();
    } else if (kind == FileKind::Foreign) {
      // Changed by another program since the look above.
      error = platform::Error::make(platform::Error::kCocoaErrorDomain, kALKIncompatibleStoreError,
                                    platform::Dictionary{{platform::Error::kFilePathKey, path}});
      return false;
    }
    transaction.commit();
  } catch (const SQLite::Exception& exception) {
    error = sqliteError(exception);
    return false;
  }
  if (!ownCompanions(path, error)) return false;
  openedFile_ = found;
  fileGeneration_.fetch_add(1);
  failedSaves_ = 0;
  statements_ = std::make_unique<Statements>();
  return true;
}

bool ALKActivityStore::moveCorruptFileAside(const std::string& path, const FileIdentity& found) {
  struct stat status {};
  // Another process may have moved it aside already, and made a new store.
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)} != found) {
    return true;
  }
  const std::string aside = corruptFileName(path, platform::Date(clock_->currentTimestamp()).timeIntervalSince1970());
  for (const char* suffix : kStoreFileSuffixes) {
    const std::string from = path + suffix;
    const std::string to = aside + suffix;
    if (renameWithoutReplacing(from, to) == 0 || (errno == ENOENT && *suffix)) continue;
    const auto error = posixError(errno, from);
    ALKLog::error(this, "Unable to move the corrupt store aside {%@ -> %@, %@}", from, to, error);
    return false;
  }
  ALKLog::error(this, "Moved the corrupt store aside {%@ -> %@}", path, aside);
  return true;
}

bool ALKActivityStore::recoverFromCorruption(const platform::ErrorPtr& error, bool writeRows) {
  if (!database_ || !isCorruptFile(error)) return false;
  sqlite3_db_config(database_->getHandle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  closeConnection();
  corruptFile_ = openedFile_;
  openedFile_.reset();
  // The rows in memory are hits not sent yet, or on their way: each becomes
  // a new row of the next file, as it is now. Deletions pending are done.
  std::vector<std::shared_ptr<ALKActivityRequest>> kept;
  for (const auto& [key, row] : registered_) {
    if (!isPendingDeletion(key)) kept.push_back(row);
  }
  std::ranges::sort(kept, {}, [](const auto& row) { return row->objectID()->number(); });
  for (const auto& row : kept) {
    row->didLoseFile(ALKActivityRequestID::temporaryID(this, nextTemporaryID_++));
    inserted_.push_back(row);
  }
  registered_.clear();
  vanished_.insert(vanished_.end(), deleted_.begin(), deleted_.end());
  deleted_.clear();
  skipUpdateContext_ = false;
  failedOpens_ = 0;
  openError_ = nullptr;
  if (!context()) return false;
  // A read that met the damage finds the rows in the file at once.
  if (writeRows) save();
  return true;
}

platform::ErrorPtr ALKActivityStore::unreachableError() const {
  if (openError_) return openError_;
  return platform::Error::make(ALKSQLiteErrorDomain, SQLITE_MISUSE,
                               platform::Dictionary{{platform::Error::kLocalizedDescriptionKey, "store closed"},
                                                    {platform::Error::kFilePathKey, storePath()}});
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

void ALKActivityStore::writeChanges(const std::vector<std::shared_ptr<ALKActivityRequest>>& updated,
                                    std::vector<std::int64_t>& newKeys) {
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
}

platform::ErrorPtr ALKActivityStore::roomForNewRows() {
  if (inserted_.empty()) return nullptr;
  const std::string path = database_->getFilename();
  const auto freeBytes = [&]() -> std::optional<std::int64_t> {
    struct statvfs disk {};
    if (::statvfs(path.c_str(), &disk) != 0) return std::nullopt;
    return static_cast<std::int64_t>(disk.f_bavail) * static_cast<std::int64_t>(disk.f_frsize);
  };
  const auto journalSize = [&]() -> std::int64_t {
    struct stat journal {};
    return ::stat((path + "-wal").c_str(), &journal) == 0 ? journal.st_size : 0;
  };
  try {
    // The values of a pragma's row; its statement is reset at once, so that
    // it holds no read of the file.
    const auto pragma = [&](const std::string& sql) {
      auto& query = statement(sql);
      std::vector<std::int64_t> values;
      if (query.executeStep()) {
        for (int column = 0; column < query.getColumnCount(); ++column) values.push_back(query.getColumn(column).getInt64());
      }
      query.reset();
      return values;
    };
    const auto pageSizes = pragma("PRAGMA page_size");
    const std::int64_t pageSize = pageSizes.empty() ? 0 : pageSizes[0];
    // The new rows go into the journal, then into the file.
    std::int64_t rowBytes = 0;
    for (const auto& row : inserted_) {
      const auto* data = row->archive_.data();
      rowBytes += 2 * (static_cast<std::int64_t>(data ? data->size() : 0) + 128);
    }
    // The journal at its largest before a checkpoint.
    const std::int64_t journalBytes = (kCheckpointPages + kSparePages) * pageSize;
    auto free = freeBytes();
    // Room for the journal to grow to its largest and for all of it to go
    // into the file: nothing to look at.
    if (!free || *free >= 2 * std::max(journalBytes, journalSize()) + rowBytes) return nullptr;

    // Little room: what the journal holds goes into the file first. When it
    // cannot all go (a reader of another connection holds it), the rows wait.
    const auto checkpoint = pragma("PRAGMA wal_checkpoint(PASSIVE)");
    if (checkpoint.size() == 3 && (checkpoint[0] != 0 || checkpoint[1] != checkpoint[2])) {
      return sqliteError(SQLITE_FULL, "database or disk is full", path);
    }
    free = freeBytes();
    const auto freePages = pragma("PRAGMA freelist_count");
    const std::int64_t unusedPages = freePages.empty() ? 0 : freePages[0];
    // Pages the file no longer uses take rows without growing it; the
    // journal keeps the room to grow back to its largest and a few pages
    // more, for the removals and read marks to come.
    const std::int64_t room = free.value_or(0) + unusedPages * pageSize;
    const std::int64_t needed = std::max<std::int64_t>(journalBytes - journalSize(), 0) + rowBytes + kSparePages * pageSize;
    if (room >= needed) return nullptr;
  } catch (const SQLite::Exception&) {
    // The save that follows meets the same fault, and deals with it (a
    // damaged file goes aside).
    return nullptr;
  }
  return sqliteError(SQLITE_FULL, "database or disk is full", path);
}

bool ALKActivityStore::save(platform::ErrorPtr* error) {
  if (!database_) return false;
  ALKLogIndent indent;
  const auto changedRows = [&] {
    std::vector<std::shared_ptr<ALKActivityRequest>> rows;
    for (const auto& [key, row] : registered_) {
      if (row->hasChanges() && !isPendingDeletion(key)) rows.push_back(row);
    }
    return rows;
  };
  std::vector<std::shared_ptr<ALKActivityRequest>> updated = changedRows();
  if (error) *error = nullptr;
  if (inserted_.empty() && updated.empty() && deleted_.empty() && vanished_.empty()) return true;

  ALKLog::debug(this, "Activity context objects did change.");
  postNotification(ALKActivityStoreDidChangeNotification, nullptr);
  ALKLog::debug(this, "Activity context will save.");
  const platform::Dictionary willSave;
  postNotification(ALKActivityStoreWillSaveNotification, &willSave);

  // No row is written without the archive of its activity: one that cannot
  // be made fails the save before anything is written.
  const auto archiveRows = [&]() -> platform::ErrorPtr {
    for (const auto& rows : {&inserted_, &updated}) {
      for (const auto& row : *rows) {
        if (!row->activity() || row->hasOnlyStateChanges() || row->archivedActivity_ == row->activity()) continue;
        row->archive_ = ALKActivityRequest::activityTransformer().transformedValue(platform::Value(row->activity()));
        row->archivedActivity_ = row->archive_.isNil() ? nullptr : row->activity();
        if (row->archive_.isNil()) {
          return platform::Error::make(platform::Error::kCocoaErrorDomain, kALKActivityNotArchivableError);
        }
      }
    }
    return nullptr;
  };
  platform::ErrorPtr failure = archiveRows();
  if (!failure) failure = roomForNewRows();
  std::vector<std::int64_t> newKeys;
  for (bool recovered = false; !failure;) {
    try {
      writeChanges(updated, newKeys);
      break;
    } catch (const SQLite::Exception& exception) {
      // A failed step, or a commit that could not take its lock, leaves the
      // transaction open: nothing of it is kept.
      if (!sqlite3_get_autocommit(database_->getHandle())) database_->tryExec("ROLLBACK");
      failure = sqliteError(exception);
    }
    // A file found damaged goes aside, and the changes go into the new one.
    if (recovered || !isCorruptFile(failure)) break;
    ALKLog::error(this, "Unable to save changes: %@", failure);
    recovered = true;
    if (!recoverFromCorruption(failure, false)) {
      failure = unreachableError();
      break;
    }
    updated = changedRows();
    newKeys.clear();
    failure = archiveRows();
  }
  if (failure) {
    ALKLog::error(this, "Unable to save changes: %@", failure);
    // The journal gives back what it can of a full disk before a later try.
    if (isDiskFull(failure) && database_) database_->tryExec("PRAGMA wal_checkpoint(TRUNCATE)");
    ++failedSaves_;
    nextSave_ = platform::dispatchTime(clock_->now(), std::chrono::nanoseconds(retryInterval(failedSaves_)).count());
    if (error) *error = failure;
    return false;
  }
  failedSaves_ = 0;

  for (std::size_t index = 0; index < inserted_.size(); ++index) {
    inserted_[index]->didSave(ALKActivityRequestID::permanentID(this, fileGeneration_.load(), newKeys[index]));
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
  deleted_.insert(deleted_.end(), vanished_.begin(), vanished_.end());
  const platform::Dictionary didSave{{ALKInsertedObjectsKey, snapshots(inserted_)},
                                     {ALKUpdatedObjectsKey, snapshots(updated)},
                                     {ALKDeletedObjectsKey, snapshots(deleted_)}};
  inserted_.clear();
  deleted_.clear();
  vanished_.clear();
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
  vanished_.clear();
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
  vanished_.clear();
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
  auto row = std::make_shared<ALKActivityRequest>(ALKActivityRequestID::permanentID(this, fileGeneration_.load(), key), std::move(attributes));
  registered_[key] = row;
  return row;
}

bool ALKActivityStore::readRecovering(const char* failureLine, platform::ErrorPtr* error,
                                      const std::function<void()>& read) {
  for (bool recovered = false;; recovered = true) {
    try {
      read();
      return true;
    } catch (const SQLite::Exception& exception) {
      const auto failure = sqliteError(exception);
      ALKLog::error(this, failureLine, failure);
      // A file found damaged goes aside; the read looks at the new one.
      if (recovered || !recoverFromCorruption(failure, true)) {
        if (error) *error = failure;
        return false;
      }
    }
  }
}

std::optional<std::vector<platform::Value>> ALKActivityStore::executeFetchRequest(const ALKFetchRequest& request,
                                                                                  platform::ErrorPtr* error,
                                                                                  const Transcoder& transcoder) {
  if (!context()) return std::nullopt;
  std::optional<std::vector<platform::Value>> results;
  if (!readRecovering("Failed to execute fetch request. %@", error,
                      [&] { results = request.grouped ? groupedFetch(request) : plainFetch(request); })) {
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
    platform::Dictionary result{{"objectID", ALKActivityRequestID::permanentID(this, fileGeneration_.load(), group.key)},
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
  const bool counted = readRecovering("Failed to execute fetch requests. %@", error, [&] {
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
  });
  if (!counted) return std::nullopt;
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
  if (!objectID->isTemporaryID() && objectID->file() != fileGeneration_.load()) return nullptr;
  if (objectID->isTemporaryID()) {
    const auto found = std::ranges::find_if(inserted_, [&](const auto& row) { return row->objectID()->isEqual(*objectID); });
    return found == inserted_.end() ? nullptr : *found;
  }
  if (const auto found = registered_.find(objectID->number()); found != registered_.end()) return found->second;
  std::shared_ptr<ALKActivityRequest> row;
  const std::uint64_t file = objectID->file();
  readRecovering("Failed to execute fetch request. %@", nullptr, [&] {
    // A row of a damaged file that went aside is in no file.
    if (file != fileGeneration_.load()) return;
    auto& query = statement(std::string("SELECT ") + kRowColumns + " FROM ZACTIVITYREQUEST WHERE Z_PK = ?");
    const ResetAfterRead done{query};
    query.bind(1, objectID->number());
    if (query.executeStep()) row = rowFromStatement(query);
  });
  return row;
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
