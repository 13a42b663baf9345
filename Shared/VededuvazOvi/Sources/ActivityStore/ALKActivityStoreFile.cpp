#include "ALKActivityStoreFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>

#include "ALKActivityStore.h"
#include "ALKForwardingFile.h"
#include "ALKLog.h"
#include "Values/Date.h"

namespace {

constexpr int kBusyTimeoutMilliseconds = 5000;
constexpr const char* kModelIdentifier = "ALKActivityRequest";
constexpr int kModelVersion = 1;
// While the disk is short of room the journal is checkpointed once it holds
// this many pages (it stays near 150 KB, where SQLite's own 1,000 pages let
// it reach 4 MB), and cut back to this size when it starts over after a
// larger transaction: a little above what the checkpoints keep it to, so
// that it is not shrunk and grown again, block by block, at every checkpoint.
constexpr int kSmallJournalPages = 32;
constexpr int kSmallJournalSizeLimit = 192 * 1024;
// While the disk has room, checkpoints are SQLite's own, at its default of
// this many pages, and the journal keeps its size: each checkpoint waits on
// the disk, and these come a hundred hits apart, not ten.
constexpr int kSQLiteJournalPages = 1000;
// The page size of a file until the first room check asks SQLite: its default.
constexpr std::int64_t kDefaultPageSize = 4096;
// New rows are stored only while the disk keeps room for the journal to go
// into the file and to grow back to its largest, and a few pages more: the
// saves that give room back (removals) and the read marks then always find
// it, where a journal that cannot be checkpointed would fail every save for
// good.
constexpr std::int64_t kSparePages = 4;

// The room a disk needs for SQLite's own journal: for it to grow to its
// largest (or stay at `journalBytes`, when larger) and for all of it to go
// into the file, as SQLite checkpoints. A disk with less is short of room,
// for the open and for every save alike.
std::int64_t roomForSQLiteJournal(std::int64_t pageSize, std::int64_t journalBytes) {
  return 2 * std::max((kSQLiteJournalPages + kSparePages) * pageSize, journalBytes);
}
// The journal files SQLite keeps beside a store, moved and removed before the
// file itself, so that no journal is ever left that a new file at the path
// would pick up.
constexpr std::array<const char*, 3> kJournalSuffixes = {"-wal", "-shm", "-journal"};
constexpr const char* kSetAsideMark = ".corrupt-";

const char* const kSchema[] = {
    ("CREATE TABLE ZACTIVITYREQUEST (Z_PK INTEGER PRIMARY KEY, ZSTATE INTEGER NOT NULL DEFAULT 0, "
     "ZTIMESTAMP REAL NOT NULL, ZURLSTRING TEXT, ZACTIVITY BLOB)"),
    "CREATE INDEX ZACTIVITYREQUEST_ZTIMESTAMP_INDEX ON ZACTIVITYREQUEST (ZTIMESTAMP)",
    "CREATE INDEX ZACTIVITYREQUEST_ZURLSTRING_ZTIMESTAMP_INDEX ON ZACTIVITYREQUEST (ZURLSTRING, ZTIMESTAMP)",
    "CREATE TABLE Z_METADATA (Z_VERSION INTEGER NOT NULL, Z_MODEL TEXT NOT NULL)",
};

platform::ErrorPtr posixError(int code, const std::string& path, const std::string& description = {}) {
  platform::Dictionary userInfo{{platform::Error::kFilePathKey, path}};
  if (!description.empty()) userInfo.set(platform::Error::kLocalizedDescriptionKey, description);
  return platform::Error::make(platform::Error::kPOSIXErrorDomain, code, std::move(userInfo));
}

platform::ErrorPtr sqliteError(int code, const std::string& description, const std::string& path) {
  return platform::Error::make(ALKSQLiteErrorDomain, code,
                               platform::Dictionary{{platform::Error::kLocalizedDescriptionKey, description},
                                                    {platform::Error::kFilePathKey, path}});
}

platform::ErrorPtr incompatibleStoreError(const std::string& path) {
  return platform::Error::make(platform::Error::kCocoaErrorDomain, kALKIncompatibleStoreError,
                               platform::Dictionary{{platform::Error::kFilePathKey, path}});
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> identityOf(const struct stat& status) {
  return std::pair{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Makes the missing folders above `path` with mode 0700.
bool makeFolders(const std::filesystem::path& folder, platform::ErrorPtr& error) {
  std::error_code code;
  if (folder.empty() || std::filesystem::is_directory(folder, code)) return true;
  if (!makeFolders(folder.parent_path(), error)) return false;
  if (::mkdir(folder.c_str(), 0700) == 0) return true;
  const int failure = errno;
  // Made meanwhile by another process; anything else in the way fails.
  if (failure == EEXIST && std::filesystem::is_directory(folder, code)) return true;
  error = posixError(failure, folder.string());
  return false;
}

// The file a store path names, as SQLite opens it: the path itself, or where
// its symbolic links lead, whether or not a file is there yet, in its folder
// by its real path (every linked folder followed).
bool resolveStorePath(const std::string& path, std::string& resolved, platform::ErrorPtr& error) {
  std::filesystem::path current = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat status {};
    if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      // The folders that exist, resolved; those still to be made hold no link.
      std::error_code code;
      const std::filesystem::path folder = std::filesystem::weakly_canonical(current.parent_path(), code);
      if (code) {
        error = posixError(code.value(), current.parent_path().string());
        return false;
      }
      resolved = (folder / current.filename()).string();
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

// The longest path SQLite opens: it refuses a file whose rollback journal's
// name ("-journal" added) is longer than its VFS takes.
std::size_t longestPathForSQLite() {
  const sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  const int longest = (vfs ? vfs->mxPathname : 512) - static_cast<int>(std::strlen("-journal"));
  return static_cast<std::size_t>(std::max(longest, 0));
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

// The VFS the looks at a file read through: the default one, counting on
// this thread the reads that fail with an I/O error. SQLite reports some of
// them as damage ("database disk image is malformed": the unix VFS answers
// EIO so), which the count tells apart.
thread_local std::uint64_t failedReadsOnThisThread = 0;

int readCountingFailures(ALKForwardingFile& file, void* buffer, int amount, sqlite3_int64 offset) {
  const int read = file.readBelow(buffer, amount, offset);
  if ((read & 0xff) == SQLITE_IOERR && read != SQLITE_IOERR_SHORT_READ) ++failedReadsOnThisThread;
  return read;
}

// The name of the looking VFS, registered (not as the default) once.
const char* lookingVFS() {
  static std::once_flag registered;
  static sqlite3_vfs vfs;
  std::call_once(registered, [] {
    vfs = *sqlite3_vfs_find(nullptr);
    vfs.zName = "alk-store-look";
    vfs.szOsFile = sizeof(ALKForwardingFile);
    // Over the default VFS of the moment, which a test may replace.
    vfs.xOpen = [](sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
      return ALKForwardingFile::open(sqlite3_vfs_find(nullptr), name, file, flags, outFlags, readCountingFailures);
    };
    vfs.pNext = nullptr;
    sqlite3_vfs_register(&vfs, 0);
  });
  return vfs.zName;
}

// What a look at a file finds, and why when it is damaged or cannot be read.
enum class Finding { Empty, Store, Foreign, Damaged, Unreadable };
struct Look {
  Finding finding;
  platform::ErrorPtr error;
};

// Looks at the file at `path` without writing to it or beside it: SQLite's
// header, the kind of file, and for a store of this model the quick check of
// its pages. A read that fails makes the file unreadable, not damaged. Without
// a -wal beside it the file is read as it stands, which makes no -shm either.
Look lookAt(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return {Finding::Unreadable, posixError(errno, path)};
  struct stat status {};
  std::array<char, 16> header{};
  ssize_t headerLength = 0;
  int failure = ::fstat(fd, &status) == 0 ? 0 : errno;
  if (!failure && status.st_size > 0) {
    headerLength = ::pread(fd, header.data(), header.size(), 0);
    if (headerLength < 0) failure = errno;
  }
  ::close(fd);
  if (failure) return {Finding::Unreadable, posixError(failure, path)};
  if (status.st_size == 0) return {Finding::Empty, nullptr};
  if (headerLength != static_cast<ssize_t>(header.size()) ||
      std::memcmp(header.data(), "SQLite format 3", header.size()) != 0) {
    return {Finding::Damaged, sqliteError(SQLITE_NOTADB, "file is not a database", path)};
  }
  // A read that failed on the way makes whatever SQLite answered an I/O error.
  const std::uint64_t failedReads = failedReadsOnThisThread;
  const auto found = [&](Finding finding, platform::ErrorPtr error) -> Look {
    if (failedReadsOnThisThread == failedReads) return {finding, std::move(error)};
    return {Finding::Unreadable, sqliteError(SQLITE_IOERR_READ, "disk I/O error", path)};
  };
  std::error_code code;
  const bool hasJournal = std::filesystem::exists(path + "-wal", code);
  try {
    SQLite::Database database(fileURI(path) + (hasJournal ? "?mode=ro" : "?mode=ro&immutable=1"),
                              SQLite::OPEN_READONLY | SQLite::OPEN_URI, kBusyTimeoutMilliseconds, lookingVFS());
    const FileKind kind = kindOfFile(database);
    if (kind != FileKind::Store) return found(kind == FileKind::Empty ? Finding::Empty : Finding::Foreign, nullptr);
    SQLite::Statement check(database, "PRAGMA quick_check");
    if (check.executeStep() && check.getColumn(0).getString() != "ok") {
      const std::string damage = "quick_check: " + check.getColumn(0).getString();
      return found(Finding::Damaged, sqliteError(SQLITE_CORRUPT, damage, path));
    }
  } catch (const SQLite::Exception& exception) {
    auto error = ALKActivityStoreFile::errorOf(exception);
    const bool damaged = ALKActivityStoreFile::isDamageAnswer(error);
    return found(damaged ? Finding::Damaged : Finding::Unreadable, std::move(error));
  }
  return found(Finding::Store, nullptr);
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

// Whether the file itself or one of its journal files is at `name`.
bool existsWithJournals(const std::string& name) {
  struct stat status {};
  if (::lstat(name.c_str(), &status) == 0) return true;
  return std::ranges::any_of(kJournalSuffixes,
                             [&](const char* suffix) { return ::lstat((name + suffix).c_str(), &status) == 0; });
}

// "<path>.corrupt-<UTC time>", numbered when files of that name are there.
std::string setAsideName(const std::string& path, double secondsSince1970) {
  const auto time = static_cast<std::time_t>(secondsSince1970);
  std::tm utc{};
  char stamp[32] = {};
  if (::gmtime_r(&time, &utc)) std::strftime(stamp, sizeof(stamp), "%Y%m%dT%H%M%SZ", &utc);
  const std::string base = path + kSetAsideMark + stamp;
  std::string name = base;
  for (int number = 2; existsWithJournals(name); ++number) name = base + "." + std::to_string(number);
  return name;
}

// Of a name in the store's folder, the set aside it belongs to: the time and
// number of "<file name>.corrupt-<time>[.<number>][<journal suffix>]"; nullopt
// for any other name.
std::optional<std::pair<std::string, long>> setAsideOf(const std::string& fileName, const std::string& name) {
  const std::string prefix = fileName + kSetAsideMark;
  if (!name.starts_with(prefix)) return std::nullopt;
  std::string rest = name.substr(prefix.size());
  for (const char* suffix : kJournalSuffixes) {
    if (rest.ends_with(suffix)) {
      rest.resize(rest.size() - std::strlen(suffix));
      break;
    }
  }
  // 20261207T080253Z
  constexpr std::size_t kStampLength = 16;
  if (rest.size() < kStampLength) return std::nullopt;
  const std::string stamp = rest.substr(0, kStampLength);
  for (std::size_t index = 0; index < kStampLength; ++index) {
    const char expected = index == 8 ? 'T' : index == 15 ? 'Z' : '0';
    const bool digit = std::isdigit(static_cast<unsigned char>(stamp[index])) != 0;
    if (expected == '0' ? !digit : stamp[index] != expected) return std::nullopt;
  }
  long number = 1;
  if (rest.size() > kStampLength) {
    const std::string digits = rest.substr(kStampLength + 1);
    if (rest[kStampLength] != '.' || digits.empty() || digits.size() > 9 ||
        !std::ranges::all_of(digits, [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
      return std::nullopt;
    }
    number = std::stol(digits);
  }
  return std::pair{stamp, number};
}

// Whether a failed call's errno says the mount does not do it at all (VM
// shared folders, some network and FUSE file systems), not that it failed.
bool isRefusedByTheMount(int code) {
  return code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == EPERM;
}

// Renames, failing with EEXIST rather than replacing what has the new name.
// Called under the folder lock that every opening store takes.
int renameWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (!isRefusedByTheMount(errno)) return -1;
  // A file system that cannot: a second name, then the first one goes.
  if (::link(from.c_str(), to.c_str()) == 0) return ::unlink(from.c_str());
  if (!isRefusedByTheMount(errno)) return -1;
  // Nor that: a plain rename onto a name found free. No other store takes it
  // meanwhile: they all wait for the folder lock.
  struct stat status {};
  if (::lstat(to.c_str(), &status) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return ::rename(from.c_str(), to.c_str());
}

}  // namespace

ALKActivityStoreFile::ALKActivityStoreFile(std::string path, const platform::Object* owner)
    : path_(std::move(path)), owner_(owner) {}

platform::ErrorPtr ALKActivityStoreFile::errorOf(const SQLite::Exception& exception) {
  return platform::Error::make(ALKSQLiteErrorDomain, exception.getErrorCode(),
                               platform::Dictionary{{platform::Error::kLocalizedDescriptionKey, exception.what()}});
}

bool ALKActivityStoreFile::isDamageAnswer(const platform::ErrorPtr& error) {
  if (!error || error->domain() != ALKSQLiteErrorDomain) return false;
  const std::int64_t primary = error->code() & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

bool ALKActivityStoreFile::isDiskFull(const platform::ErrorPtr& error) {
  return error && error->domain() == ALKSQLiteErrorDomain && (error->code() & 0xff) == SQLITE_FULL;
}

bool ALKActivityStoreFile::isLastingFailure(const platform::ErrorPtr& error) {
  return error && (error->is(platform::Error::kCocoaErrorDomain, kALKIncompatibleStoreError) ||
                   error->is(platform::Error::kPOSIXErrorDomain, ENAMETOOLONG));
}

std::unique_ptr<SQLite::Database> ALKActivityStoreFile::open(const ALKClock& clock, platform::ErrorPtr& error) {
  return openAtPath(clock, error, nullptr);
}

std::unique_ptr<SQLite::Database> ALKActivityStoreFile::reopen(const ALKClock& clock, platform::ErrorPtr& error,
                                                               bool& stillInUse) {
  stillInUse = false;
  return openAtPath(clock, error, &stillInUse);
}

std::unique_ptr<SQLite::Database> ALKActivityStoreFile::openAtPath(const ALKClock& clock, platform::ErrorPtr& error,
                                                                   bool* stillInUse) {
  const auto failed = [&]() -> std::unique_ptr<SQLite::Database> {
    ALKLog::error(owner_, "Failed to add persistent store, error: %@", error);
    return nullptr;
  };
  std::string path;
  if (!resolveStorePath(path_, path, error)) return failed();
  // SQLite would fail it as "unable to open database file", after this
  // store made the file.
  if (path.size() > longestPathForSQLite()) {
    error = posixError(ENAMETOOLONG, path,
                       "The store path is longer than SQLite takes (" + std::to_string(longestPathForSQLite()) +
                           " bytes), its symbolic links followed");
    return failed();
  }
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (!makeFolders(folder, error)) return failed();
  const FolderLock lock(folder, error);
  if (!lock.isHeld()) return failed();
  // The file in use, at the path after all, is not opened again: nothing of
  // this process but its connection may open and close it (closing any
  // descriptor of a file drops the locks SQLite holds on it).
  const std::optional<Identity> inUse = stillInUse ? opened_ : std::nullopt;
  if (struct stat status {}; inUse && ::lstat(path.c_str(), &status) == 0 && identityOf(status) == inUse) {
    *stillInUse = true;
    return nullptr;
  }
  completeSetAside(path);
  // Unless another process did so already, the file this store found damaged
  // goes aside before anything opens it again.
  if (damaged_ && !setAside(path, *damaged_, clock)) {
    error = posixError(EBUSY, path);
    return failed();
  }
  damaged_.reset();
  for (bool setAsideNow = false;;) {
    std::optional<Identity> found;
    bool lookedAt = false;
    if (auto database = openFile(path, inUse, found, lookedAt, error)) {
      openedPath_ = path;
      opened_ = found;
      return database;
    }
    if (inUse && found == inUse) {
      *stillInUse = true;
      return nullptr;
    }
    failed();
    if (setAsideNow || !isDamageAnswer(error) || !found) return nullptr;
    // An answer of damage of the read-write connection is looked at again
    // before the file goes aside; damage that the open's own look found has
    // had that look.
    if (!lookedAt) {
      const Look look = lookAt(path);
      if (look.finding != Finding::Damaged) {
        if (look.error) error = look.error;
        ALKLog::warning(owner_, "Not setting the store aside: a second look finds no damage {%@, %@}", path,
                        look.error);
        return nullptr;
      }
    }
    if (!setAside(path, *found, clock)) return nullptr;
    setAsideNow = true;
    error = nullptr;
  }
}

std::unique_ptr<SQLite::Database> ALKActivityStoreFile::openFile(const std::string& path,
                                                                 const std::optional<Identity>& inUse,
                                                                 std::optional<Identity>& found, bool& lookedAt,
                                                                 platform::ErrorPtr& error) {
  // SQLite would make the file with the umask's mode.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
      error = posixError(S_ISDIR(status.st_mode) ? EISDIR : EINVAL, path);
      return nullptr;
    }
    // A file this user may not write would open read-only, and every save fail.
    fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) {
    error = posixError(errno, path);
    return nullptr;
  }
  struct stat status {};
  const bool statted = ::fstat(fd, &status) == 0;
  const int statError = errno;
  ::close(fd);
  if (!statted) {
    error = posixError(statError, path);
    return nullptr;
  }
  found = identityOf(status);
  // Put back at the path since the look under the lock.
  if (found == inUse) return nullptr;
  // No migration: a file made for anything else is refused, before anything
  // is written to it or beside it.
  if (status.st_size > 0) {
    const Look look = lookAt(path);
    if (look.finding == Finding::Foreign) {
      error = incompatibleStoreError(path);
      return nullptr;
    }
    if (look.finding == Finding::Damaged || look.finding == Finding::Unreadable) {
      error = look.error;
      lookedAt = true;
      return nullptr;
    }
  }
  if (!ownCompanions(path, error)) return nullptr;
  std::unique_ptr<SQLite::Database> database;
  // What the open found stays as it was: no checkpoint into the file, and
  // its -wal is not deleted.
  const auto refuse = [&](platform::ErrorPtr failure) -> std::unique_ptr<SQLite::Database> {
    if (database) sqlite3_db_config(database->getHandle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    error = std::move(failure);
    return nullptr;
  };
  try {
    database = std::make_unique<SQLite::Database>(path, SQLite::OPEN_READWRITE | SQLite::OPEN_NOFOLLOW,
                                                  kBusyTimeoutMilliseconds);
    if (sqlite3_db_readonly(database->getHandle(), "main") == 1) {
      return refuse(sqliteError(SQLITE_READONLY, "attempt to write a readonly database", path));
    }
    setWriteAheadLogging(*database);
    database->exec("PRAGMA synchronous=NORMAL");
    SQLite::Transaction transaction(*database, SQLite::TransactionBehavior::IMMEDIATE);
    const FileKind kind = kindOfFile(*database);
    if (kind == FileKind::Empty) {
      for (const char* sql : kSchema) database->exec(sql);
      SQLite::Statement metadata(*database, "INSERT INTO Z_METADATA (Z_VERSION, Z_MODEL) VALUES (?, ?)");
      metadata.bind(1, kModelVersion);
      metadata.bind(2, kModelIdentifier);
      metadata.exec();
    } else if (kind == FileKind::Foreign) {
      // Changed by another program since the look above.
      return refuse(incompatibleStoreError(path));
    }
    transaction.commit();
    // The connection starts with SQLite's checkpoints; a disk short of room
    // at the open gets the small journal at once.
    pageSize_.reset();
    smallJournal_ = false;
    const auto free = freeBytes(path);
    if (free && *free < roomForSQLiteJournal(kDefaultPageSize, journalSize(path))) keepJournal(*database, true);
  } catch (const SQLite::Exception& exception) {
    return refuse(errorOf(exception));
  }
  if (!ownCompanions(path, error)) return refuse(error);
  return database;
}

void ALKActivityStoreFile::willClose(SQLite::Database& database) {
  if (damaged_) sqlite3_db_config(database.getHandle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

ALKActivityStoreFile::Presence ALKActivityStoreFile::presenceAtPath(platform::ErrorPtr& error) const {
  if (!opened_) return Presence::Gone;
  struct stat status {};
  if (::stat(path_.c_str(), &status) == 0) return identityOf(status) == opened_ ? Presence::InUse : Presence::Gone;
  // Only a look that says so makes the file gone.
  if (errno == ENOENT || errno == ENOTDIR) return Presence::Gone;
  error = posixError(errno, path_);
  return Presence::Unknown;
}

bool ALKActivityStoreFile::confirmDamage() {
  // A file gone from the path, or one that cannot be looked at, is not
  // looked into: the next save opens the file that is there, or fails.
  platform::ErrorPtr unknown;
  if (!opened_ || presenceAtPath(unknown) != Presence::InUse) return false;
  const Look look = lookAt(openedPath_);
  if (look.finding == Finding::Damaged) {
    damaged_ = opened_;
    return true;
  }
  ALKLog::warning(owner_, "Not setting the store aside: a second look finds no damage {%@, %@}", openedPath_,
                  look.error);
  return false;
}

bool ALKActivityStoreFile::setAside(const std::string& path, const Identity& found, const ALKClock& clock) {
  struct stat status {};
  // Another process may have moved it aside already, and made a new store.
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || identityOf(status) != found) return true;
  const double now = platform::Date(clock.currentTimestamp()).timeIntervalSince1970();
  for (;;) {
    const std::string name = setAsideName(path, now);
    // The set's name is taken by the file first: a move cut short is
    // completed under it.
    if (::link(path.c_str(), name.c_str()) == 0) return finishSetAside(path, name, true);
    if (errno == EEXIST) continue;
    // A file system without hard links: the file moves after its journals.
    return finishSetAside(path, name, false);
  }
}

bool ALKActivityStoreFile::finishSetAside(const std::string& path, const std::string& name, bool linked) {
  for (const char* suffix : {"-wal", "-shm", "-journal", ""}) {
    const std::string from = path + suffix;
    const std::string to = name + suffix;
    const bool file = *suffix == '\0';
    const bool moved = file && linked ? ::unlink(from.c_str()) == 0 : renameWithoutReplacing(from, to) == 0;
    // A journal that is not there has nothing to move.
    if (moved || (errno == ENOENT && (!file || linked))) continue;
    ALKLog::error(owner_, "Unable to move the corrupt store aside {%@ -> %@, %@}", from, to, posixError(errno, from));
    return false;
  }
  ALKLog::error(owner_, "Moved the corrupt store aside {%@ -> %@}", path, name);
  removeOlderSetAsideCopies(path, name);
  return true;
}

void ALKActivityStoreFile::completeSetAside(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink < 2) return;
  const std::filesystem::path file(path);
  const std::string fileName = file.filename().string();
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), code)) {
    const std::string name = entry.path().filename().string();
    const bool journal =
        std::ranges::any_of(kJournalSuffixes, [&](const char* suffix) { return name.ends_with(suffix); });
    struct stat other {};
    // The file itself, under a set aside's name.
    if (journal || !setAsideOf(fileName, name) || ::lstat(entry.path().c_str(), &other) != 0 ||
        identityOf(other) != identityOf(status)) {
      continue;
    }
    finishSetAside(path, entry.path().string(), true);
    return;
  }
}

void ALKActivityStoreFile::removeOlderSetAsideCopies(const std::string& path, const std::string& made) {
  const std::filesystem::path file(path);
  const std::string fileName = file.filename().string();
  // The set just made is kept, as one of the newest, whatever its name says:
  // a clock set back names it older than the sets before it.
  const auto madeSet = setAsideOf(fileName, std::filesystem::path(made).filename().string());
  // Newest first: by time, then by number.
  std::map<std::pair<std::string, long>, std::vector<std::string>, std::greater<>> sets;
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), code)) {
    const std::string name = entry.path().filename().string();
    struct stat status {};
    const auto set = setAsideOf(fileName, name);
    if (set && ::lstat(entry.path().c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      sets[*set].push_back(entry.path().string());
    }
  }
  std::size_t kept = 1;
  for (auto& [set, names] : sets) {
    if (set == madeSet || ++kept <= kKeptSetAsideCopies) continue;
    // The journals first, as at every move: the longer names.
    std::ranges::sort(names, std::greater<>());
    for (const auto& name : names) {
      if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
        ALKLog::error(owner_, "Unable to remove an older corrupt store {%@, %@}", name, posixError(errno, name));
      }
    }
    ALKLog::info(owner_, "Removed an older corrupt store {%@}", names.back());
  }
}

void ALKActivityStoreFile::keepJournal(SQLite::Database& database, bool small) {
  if (smallJournal_ == small) return;
  database.exec("PRAGMA wal_autocheckpoint=" + std::to_string(small ? kSmallJournalPages : kSQLiteJournalPages));
  database.exec("PRAGMA journal_size_limit=" + std::to_string(small ? kSmallJournalSizeLimit : -1));
  smallJournal_ = small;
}

std::optional<std::int64_t> ALKActivityStoreFile::freeBytes(const std::string& path) {
  struct statvfs disk {};
  if (::statvfs(path.c_str(), &disk) != 0) return std::nullopt;
  // A file system that does not say its sizes (FUSE answers every count 0
  // for one without its own statfs): its room is not known, which is not
  // little room.
  if (disk.f_blocks == 0) return std::nullopt;
  return static_cast<std::int64_t>(disk.f_bavail) * static_cast<std::int64_t>(disk.f_frsize);
}

std::int64_t ALKActivityStoreFile::journalSize(const std::string& path) {
  struct stat journal {};
  return ::stat((path + "-wal").c_str(), &journal) == 0 ? journal.st_size : 0;
}

platform::ErrorPtr ALKActivityStoreFile::roomForNewRows(SQLite::Database& database, std::int64_t rowBytes) {
  try {
    if (!pageSize_) pageSize_ = database.execAndGet("PRAGMA page_size").getInt64();
    const std::int64_t pageSize = *pageSize_;
    auto free = freeBytes(openedPath_);
    // Room for SQLite's journal and the rows: SQLite checkpoints.
    if (!free || *free >= roomForSQLiteJournal(pageSize, journalSize(openedPath_)) + rowBytes) {
      keepJournal(database, false);
      return nullptr;
    }
    keepJournal(database, true);
    // The small journal at its largest before a checkpoint.
    const std::int64_t journalBytes = (kSmallJournalPages + kSparePages) * pageSize;
    if (*free >= 2 * std::max(journalBytes, journalSize(openedPath_)) + rowBytes) return nullptr;

    // Little room: what the journal holds goes into the file first. When it
    // cannot all go (a reader of another connection holds it), the rows wait.
    const auto pragma = [&](const char* sql) {
      SQLite::Statement query(database, sql);
      std::vector<std::int64_t> values;
      if (query.executeStep()) {
        for (int column = 0; column < query.getColumnCount(); ++column) {
          values.push_back(query.getColumn(column).getInt64());
        }
      }
      return values;
    };
    const auto checkpoint = pragma("PRAGMA wal_checkpoint(PASSIVE)");
    if (checkpoint.size() == 3 && (checkpoint[0] != 0 || checkpoint[1] != checkpoint[2])) {
      return sqliteError(SQLITE_FULL, "database or disk is full", openedPath_);
    }
    free = freeBytes(openedPath_);
    const auto freePages = pragma("PRAGMA freelist_count");
    const std::int64_t unusedPages = freePages.empty() ? 0 : freePages[0];
    // Pages the file no longer uses take rows without growing it; the
    // journal keeps the room to grow back to its largest and a few pages
    // more, for the removals and read marks to come.
    const std::int64_t room = free.value_or(0) + unusedPages * pageSize;
    const std::int64_t needed =
        std::max<std::int64_t>(journalBytes - journalSize(openedPath_), 0) + rowBytes + kSparePages * pageSize;
    if (room >= needed) return nullptr;
  } catch (const SQLite::Exception&) {
    // The save that follows meets the same fault, and deals with it (a
    // damaged file goes aside).
    return nullptr;
  }
  return sqliteError(SQLITE_FULL, "database or disk is full", openedPath_);
}

void ALKActivityStoreFile::giveBackJournalSpace(SQLite::Database& database) {
  database.tryExec("PRAGMA wal_checkpoint(TRUNCATE)");
}

bool ALKActivityStoreFile::remove() {
  opened_.reset();
  damaged_.reset();
  bool removed = true;
  const auto removeName = [&](const std::string& name) {
    std::error_code code;
    std::filesystem::remove(name, code);
    if (!code) return;
    ALKLog::error(owner_, "Unable to remove persistent store file. %@", posixError(code.value(), name));
    removed = false;
  };
  for (const char* suffix : kJournalSuffixes) removeName(path_ + suffix);
  removeName(path_);
  return removed;
}

std::optional<std::size_t> ALKActivityStoreFile::countRows(const std::string& path) {
  std::error_code code;
  const auto status = std::filesystem::status(path, code);
  // No file holds no rows; a look that failed says nothing.
  if (status.type() == std::filesystem::file_type::not_found) return 0;
  if (code) return std::nullopt;
  if (!std::filesystem::is_regular_file(status)) return 0;
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
