#pragma once

#include <sqlite3.h>

// A file of an SQLite VFS that passes every call on to the same file opened
// through another VFS, its reads through a function of its own: the looks at
// a store file count the reads that fail through it, and tests put a failing
// disk under a store. No memory-mapped pages, so that every read passes
// through. A VFS whose files these are has szOsFile sizeof(ALKForwardingFile)
// and opens them with open(). Used on the thread of the connection.
class ALKForwardingFile {
 public:
  // Reads `amount` bytes at `offset`; readBelow() is the other VFS's read.
  using Read = int (*)(ALKForwardingFile& file, void* buffer, int amount, sqlite3_int64 offset);

  // Opens `name` through `below` into `file`, which SQLite allocated.
  static int open(sqlite3_vfs* below, const char* name, sqlite3_file* file, int flags, int* outFlags, Read read);

  int readBelow(void* buffer, int amount, sqlite3_int64 offset);
  // The name SQLite opened the file under (valid until it closes) and the
  // flags it opened it with.
  const char* name() const { return name_; }
  int flags() const { return flags_; }

 private:
  template <auto Method, class Signature>
  struct Forward;

  static ALKForwardingFile& of(sqlite3_file* file) { return *reinterpret_cast<ALKForwardingFile*>(file); }

  sqlite3_file file_;  // first: what SQLite knows of it
  sqlite3_file* below_;
  sqlite3_io_methods methods_;
  Read read_;
  const char* name_;
  int flags_;
};
