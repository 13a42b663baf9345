// Preloaded into a test's child process (LD_PRELOAD): the system calls that a
// mount or a moment answers otherwise than a local disk, failed on the test's
// word. Until the test asks, each call goes through unchanged. The test
// reaches the switches below through dlsym (FailingCalls.h). Built without a
// sanitizer: it is loaded before any sanitizer's runtime.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// The calls on a path that failingCallsFailPath() fails.
enum { kStat = 1, kLstat = 2, kOpen = 4 };

static pthread_mutex_t failingPathMutex = PTHREAD_MUTEX_INITIALIZER;
static char failingPath[4096];  // guarded by failingPathMutex
static int failingPathError;    // guarded by failingPathMutex
static int failingPathCalls;    // guarded by failingPathMutex
static long pathFailures;
static int refusingLinks;
static int hidingDiskSizes;

// From now on the calls of `calls` (kStat: stat(); kLstat: lstat(); kOpen:
// open()) on exactly `path` fail with `error`; a null path, or error 0, ends
// it.
void failingCallsFailPath(const char* path, int error, int calls) {
  pthread_mutex_lock(&failingPathMutex);
  failingPathError = path ? error : 0;
  failingPathCalls = calls;
  snprintf(failingPath, sizeof(failingPath), "%s", path ? path : "");
  pthread_mutex_unlock(&failingPathMutex);
}

// The calls failed so far by failingCallsFailPath().
long failingCallsPathFailures(void) { return __atomic_load_n(&pathFailures, __ATOMIC_SEQ_CST); }

// While on, hard links cannot be made (EPERM) and renameat2() takes no flags
// (EINVAL), as a VM's shared folder answers.
void failingCallsRefuseLinks(int refuse) { __atomic_store_n(&refusingLinks, refuse, __ATOMIC_SEQ_CST); }

// While on, statvfs() succeeds with every count of blocks and files 0, as a
// FUSE file system without a statfs of its own answers.
void failingCallsHideDiskSizes(int hide) { __atomic_store_n(&hidingDiskSizes, hide, __ATOMIC_SEQ_CST); }

// The next definition of `name` after this library: the C library's, or a
// sanitizer's that wraps it.
static void* nextCall(void** slot, const char* name) {
  void* next = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
  if (!next) {
    next = dlsym(RTLD_NEXT, name);
    __atomic_store_n(slot, next, __ATOMIC_RELEASE);
  }
  return next;
}
#define NEXT(name)          \
  static void* next_##name; \
  __typeof__(&name) next = (__typeof__(&name))nextCall(&next_##name, #name)

// Whether the call `call` on `path` is to fail; errno is set when it is.
static int pathFails(int call, const char* path) {
  pthread_mutex_lock(&failingPathMutex);
  const int error =
      failingPathError != 0 && (failingPathCalls & call) && path && strcmp(path, failingPath) == 0 ? failingPathError : 0;
  pthread_mutex_unlock(&failingPathMutex);
  if (!error) return 0;
  __atomic_add_fetch(&pathFailures, 1, __ATOMIC_SEQ_CST);
  errno = error;
  return 1;
}

int stat(const char* path, struct stat* status) {
  NEXT(stat);
  return pathFails(kStat, path) ? -1 : next(path, status);
}

int stat64(const char* path, struct stat64* status) {
  NEXT(stat64);
  return pathFails(kStat, path) ? -1 : next(path, status);
}

int lstat(const char* path, struct stat* status) {
  NEXT(lstat);
  return pathFails(kLstat, path) ? -1 : next(path, status);
}

int lstat64(const char* path, struct stat64* status) {
  NEXT(lstat64);
  return pathFails(kLstat, path) ? -1 : next(path, status);
}

// The mode an open() call was given, when its flags take one.
#define MODE_OF(flags, mode)                                                  \
  do {                                                                        \
    if (((flags) & O_CREAT) || ((flags) & O_TMPFILE) == O_TMPFILE) {          \
      va_list arguments;                                                      \
      va_start(arguments, flags);                                             \
      mode = (mode_t)va_arg(arguments, int);                                  \
      va_end(arguments);                                                      \
    }                                                                         \
  } while (0)

int open(const char* path, int flags, ...) {
  NEXT(open);
  mode_t mode = 0;
  MODE_OF(flags, mode);
  return pathFails(kOpen, path) ? -1 : next(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  NEXT(open64);
  mode_t mode = 0;
  MODE_OF(flags, mode);
  return pathFails(kOpen, path) ? -1 : next(path, flags, mode);
}

int link(const char* from, const char* to) {
  NEXT(link);
  if (__atomic_load_n(&refusingLinks, __ATOMIC_SEQ_CST)) {
    errno = EPERM;
    return -1;
  }
  return next(from, to);
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned int flags) {
  NEXT(renameat2);
  if (flags != 0 && __atomic_load_n(&refusingLinks, __ATOMIC_SEQ_CST)) {
    errno = EINVAL;
    return -1;
  }
  return next(fromFolder, from, toFolder, to, flags);
}

int statvfs(const char* path, struct statvfs* disk) {
  NEXT(statvfs);
  const int result = next(path, disk);
  if (result == 0 && __atomic_load_n(&hidingDiskSizes, __ATOMIC_SEQ_CST)) {
    disk->f_blocks = disk->f_bfree = disk->f_bavail = 0;
    disk->f_files = disk->f_ffree = disk->f_favail = 0;
  }
  return result;
}
