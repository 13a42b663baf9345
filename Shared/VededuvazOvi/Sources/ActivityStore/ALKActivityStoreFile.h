#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ALKClock.h"
#include "Errors/Error.h"
#include "Values/Object.h"

namespace SQLite {
class Database;
class Exception;
}  // namespace SQLite

// The SQLite file of one activity store on disk: the path and where its
// symbolic links lead, the folder and the lock on it, the kind of file found
// there, the journal files beside it, the room left on the disk and the
// journal kept for it, the identity of the file in use, and setting a damaged
// file aside.
//
// The open looks before it writes. Under an exclusive lock on the store's
// folder, which every opening store takes, in this process or another: it
// completes a set aside that a kill cut short, sets aside the file its store
// found damaged (while it is still that file), then opens the file at the
// path, making the folders (0700) and the file (0600) when missing. A file it
// may not write, a store of another model or version (left byte for byte as
// it was), and a path longer than SQLite takes (as SQLite opens it: every
// symbolic link on the way followed, linked folders too) fail the open,
// before anything is made at it. A file is set aside only when a look at it
// (its header, then a fresh read-only connection) finds it damaged: the
// open's own look, or one again at a file that the read-write connection
// answers as damaged. A page that fails to read is an I/O error, not damage.
//
// A set aside is one set: the file and its journal files go under one name,
// "<name>.corrupt-<UTC time>" (numbered when the time's name is taken), which
// the file takes first as a second link; an open that finds such a link
// completes the move under it. A mount that refuses hard links and rename
// flags gets plain renames, each onto a name found free under the folder
// lock, the journal files first: one set as far as such a mount allows (a
// kill between the renames splits it). The newest three set-aside copies are
// kept, the one just made always among them (a clock set back names it
// older); older ones of this store's name are removed, each with an INFO
// line.
//
// The file: WAL journal, synchronous=NORMAL, a busy timeout of a few
// seconds, the table of rows with indexes on the timestamp and on (URL
// string, timestamp), and a metadata table naming the model and its version;
// its journal files are given the file's mode 0600. The journal: SQLite's
// own checkpoints while the disk has room; checkpoints every few dozen pages
// and a journal cut back to a small size while it is short of room, where
// new rows also wait for the room the journal needs to go back into the file.
// A disk that does not say its sizes (every count 0) is taken to have room:
// a full one then fails the write, as SQLite reports it.
//
// Threads: no lock; used by its store on the store's one serial line of
// execution.
class ALKActivityStoreFile {
 public:
  // The newest set-aside copies kept.
  static constexpr std::size_t kKeptSetAsideCopies = 3;

  // `owner` writes the log lines; it outlives this object.
  ALKActivityStoreFile(std::string path, const platform::Object* owner);
  ALKActivityStoreFile(const ALKActivityStoreFile&) = delete;
  ALKActivityStoreFile& operator=(const ALKActivityStoreFile&) = delete;

  const std::string& path() const { return path_; }

  // A connection to the file at the path, set up for writing, or nullptr
  // with the error; each failed try has its ERROR line. `clock` names a set
  // aside.
  std::unique_ptr<SQLite::Database> open(const ALKClock& clock, platform::ErrorPtr& error);
  // open() while the connection in use is still open, after the look found
  // its file gone: nullptr without an error, and `stillInUse` set, when the
  // path leads to the file in use after all. The connection in use keeps its
  // file's identity taken until the new one is open, so no new file has it.
  std::unique_ptr<SQLite::Database> reopen(const ALKClock& clock, platform::ErrorPtr& error, bool& stillInUse);
  // Whether opening again can never succeed: a store of another model or
  // version, a path too long.
  static bool isLastingFailure(const platform::ErrorPtr& error);
  // Before the connection closes: a file that is to be set aside is closed
  // as it is, with no checkpoint into it. (SQLite itself checkpoints no file
  // that was moved or unlinked meanwhile.)
  void willClose(SQLite::Database& database);

  // What one stat of the path finds: the file opened; none, or another one
  // (gone: no such file or folder, or another device or inode); or nothing
  // known, with the error, when the look itself failed (EIO, EACCES, ESTALE
  // ...), which never counts as gone.
  enum class Presence { InUse, Gone, Unknown };
  Presence presenceAtPath(platform::ErrorPtr& error) const;
  // After SQLite answered that the file in use is damaged: the second look.
  // True when the damage is still there; the next open sets the file aside.
  // False, with a WARNING, when the look finds the file sound or cannot read
  // it.
  bool confirmDamage();

  // Before a save that adds `rowBytes` of rows: nullptr when the disk has
  // room for them, else a full-disk error. Keeps the journal by the room
  // found.
  platform::ErrorPtr roomForNewRows(SQLite::Database& database, std::int64_t rowBytes);
  // After a save that failed for a full disk: the journal gives back what it can.
  void giveBackJournalSpace(SQLite::Database& database);

  // Deletes the file at the path with its journal files, the journals
  // first; false when one could not be deleted (an ERROR line each).
  bool remove();

  // SQLite's answers on a failed statement, as errors of ALKSQLiteErrorDomain.
  static platform::ErrorPtr errorOf(const SQLite::Exception& exception);
  // Whether SQLite answered that the file is damaged, or no database.
  static bool isDamageAnswer(const platform::ErrorPtr& error);
  static bool isDiskFull(const platform::ErrorPtr& error);

  // The rows of the store file at `path`, through a read-only connection
  // that never creates the file or the schema: 0 without a file, nullopt
  // when it cannot be read. Any thread.
  static std::optional<std::size_t> countRows(const std::string& path);

 private:
  using Identity = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

  // open() and reopen(): `stillInUse` is given by a reopen.
  std::unique_ptr<SQLite::Database> openAtPath(const ALKClock& clock, platform::ErrorPtr& error, bool* stillInUse);
  // Opens the file at `path` for writing, after a look at it; `lookedAt` is
  // set when that look is what found the damage or fault in `error`. Stops,
  // with no error, when the file found is `inUse`.
  std::unique_ptr<SQLite::Database> openFile(const std::string& path, const std::optional<Identity>& inUse,
                                             std::optional<Identity>& found, bool& lookedAt,
                                             platform::ErrorPtr& error);
  // Moves the file at `path`, while it is the file `found`, aside with its
  // journal files under one new name; true when it is no longer at the path.
  bool setAside(const std::string& path, const Identity& found, const ALKClock& clock);
  // Moves the journal files of `path` to `name`, then the file: unlinks it
  // from the path when `linked` (it is at `name` already), or renames it.
  bool finishSetAside(const std::string& path, const std::string& name, bool linked);
  // Completes a set aside of the file at `path` that a kill cut short.
  void completeSetAside(const std::string& path);
  // Removes this store's set-aside copies but the newest kKeptSetAsideCopies,
  // of which the set `made` (just made) is always one.
  void removeOlderSetAsideCopies(const std::string& path, const std::string& made);
  // Sets the journal that the room found calls for.
  void keepJournal(SQLite::Database& database, bool small);
  static std::optional<std::int64_t> freeBytes(const std::string& path);
  // The size of the -wal beside the file at `path`; 0 without one.
  static std::int64_t journalSize(const std::string& path);

  const std::string path_;
  const platform::Object* const owner_;
  // The file the connection has open (after symbolic links; kept through a
  // failed open), and the file found damaged that the next open sets aside.
  std::string openedPath_;
  std::optional<Identity> opened_;
  std::optional<Identity> damaged_;
  // Asked of SQLite by the first room check of a connection.
  std::optional<std::int64_t> pageSize_;
  bool smallJournal_ = false;
};
