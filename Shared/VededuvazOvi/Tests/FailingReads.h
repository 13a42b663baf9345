#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "ALKForwardingFile.h"

// A disk with one page that fails to read until it is healed, as a sector
// does that the drive retries: an SQLite VFS over the default one, made the default for
// the life of the object, so that every connection opened meanwhile reads
// through it. A read of the failing page of the named file answers what
// SQLite's unix VFS answers for EIO (SQLITE_IOERR_CORRUPTFS, which SQLite
// reports as "database disk image is malformed"). Any thread.
class FailingReads {
 public:
  FailingReads() {
    std::lock_guard lock(mutex());
    static sqlite3_vfs vfs;
    state().below = sqlite3_vfs_find(nullptr);
    vfs = *state().below;
    vfs.zName = "failing-reads";
    vfs.szOsFile = sizeof(ALKForwardingFile);
    vfs.xOpen = [](sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
      return ALKForwardingFile::open(state().below, name, file, flags, outFlags, read);
    };
    vfs.pNext = nullptr;
    sqlite3_vfs_register(&vfs, 1);
    vfs_ = &vfs;
  }
  ~FailingReads() {
    std::lock_guard lock(mutex());
    sqlite3_vfs_register(state().below, 1);
    sqlite3_vfs_unregister(vfs_);
    state().failing = false;
  }
  FailingReads(const FailingReads&) = delete;
  FailingReads& operator=(const FailingReads&) = delete;

  // From now on until heal(), reads of page `page` (the first is 1) of the
  // database file at `path` fail.
  void failPage(const std::string& path, std::int64_t page, std::int64_t pageSize) {
    std::lock_guard lock(mutex());
    state().path = path;
    state().offset = (page - 1) * pageSize;
    state().failing = true;
  }
  void heal() {
    std::lock_guard lock(mutex());
    state().failing = false;
  }
  // The reads that failed so far.
  std::int64_t failures() const { return state().failures.load(); }

 private:
  struct State {
    sqlite3_vfs* below = nullptr;
    std::string path;
    std::int64_t offset = -1;
    bool failing = false;
    std::atomic<std::int64_t> failures{0};
  };

  static State& state() {
    static State shared;
    return shared;
  }
  static std::mutex& mutex() {
    static std::mutex shared;
    return shared;
  }
  static int read(ALKForwardingFile& file, void* buffer, int amount, sqlite3_int64 offset) {
    if (file.flags() & SQLITE_OPEN_MAIN_DB) {
      std::lock_guard lock(mutex());
      if (state().failing && offset == state().offset && state().path == file.name()) {
        ++state().failures;
        return SQLITE_IOERR_CORRUPTFS;
      }
    }
    return file.readBelow(buffer, amount, offset);
  }

  sqlite3_vfs* vfs_ = nullptr;
};
