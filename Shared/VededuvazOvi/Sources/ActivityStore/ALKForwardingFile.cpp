#include "ALKForwardingFile.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>

// Calls `Method` of the file below with the arguments SQLite gave.
template <auto Method, class Result, class... Arguments>
struct ALKForwardingFile::Forward<Method, Result (*)(sqlite3_file*, Arguments...)> {
  static Result call(sqlite3_file* file, Arguments... arguments) {
    sqlite3_file* below = of(file).below_;
    return (below->pMethods->*Method)(below, arguments...);
  }
};

static_assert(std::is_standard_layout_v<ALKForwardingFile>);

int ALKForwardingFile::open(sqlite3_vfs* below, const char* name, sqlite3_file* file, int flags, int* outFlags,
                            Read read) {
  static_assert(offsetof(ALKForwardingFile, file_) == 0);
  ALKForwardingFile& self = of(file);
  file->pMethods = nullptr;
  self.below_ = static_cast<sqlite3_file*>(sqlite3_malloc(below->szOsFile));
  if (!self.below_) return SQLITE_NOMEM;
  std::memset(self.below_, 0, static_cast<std::size_t>(below->szOsFile));
  const int result = below->xOpen(below, name, self.below_, flags, outFlags);
  if (result != SQLITE_OK || !self.below_->pMethods) {
    if (self.below_->pMethods) self.below_->pMethods->xClose(self.below_);
    sqlite3_free(self.below_);
    return result == SQLITE_OK ? SQLITE_CANTOPEN : result;
  }
  self.read_ = read;
  self.name_ = name;
  self.flags_ = flags;
  sqlite3_io_methods& methods = self.methods_;
  methods = *self.below_->pMethods;
  methods.iVersion = std::min(methods.iVersion, 2);
#define ALK_FORWARD(method) \
  methods.method = &Forward<&sqlite3_io_methods::method, decltype(sqlite3_io_methods::method)>::call
  ALK_FORWARD(xWrite);
  ALK_FORWARD(xTruncate);
  ALK_FORWARD(xSync);
  ALK_FORWARD(xFileSize);
  ALK_FORWARD(xLock);
  ALK_FORWARD(xUnlock);
  ALK_FORWARD(xCheckReservedLock);
  ALK_FORWARD(xFileControl);
  ALK_FORWARD(xSectorSize);
  ALK_FORWARD(xDeviceCharacteristics);
  if (methods.iVersion >= 2) {
    ALK_FORWARD(xShmMap);
    ALK_FORWARD(xShmLock);
    ALK_FORWARD(xShmBarrier);
    ALK_FORWARD(xShmUnmap);
  }
#undef ALK_FORWARD
  methods.xClose = [](sqlite3_file* f) {
    sqlite3_file* opened = of(f).below_;
    const int closed = opened->pMethods->xClose(opened);
    sqlite3_free(opened);
    return closed;
  };
  methods.xRead = [](sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
    return of(f).read_(of(f), buffer, amount, offset);
  };
  file->pMethods = &methods;
  return SQLITE_OK;
}

int ALKForwardingFile::readBelow(void* buffer, int amount, sqlite3_int64 offset) {
  return below_->pMethods->xRead(below_, buffer, amount, offset);
}
