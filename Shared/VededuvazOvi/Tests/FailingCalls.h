#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <vector>

// The switches of the library that the tests' build makes to be preloaded
// into a child process (Shims/FailingCallsShim.c): system calls failed on the
// test's word, as a mount or a moment may answer them. In a process that was
// started without it, isLoaded() is false and the switches do nothing. Any
// thread.
class FailingCalls {
 public:
  // The environment of a child process (spawnTestChild) that has the
  // library preloaded, with `more`. A sanitizer's runtime would want to be
  // loaded first.
  static std::vector<std::string> childEnvironment(std::vector<std::string> more = {}) {
    const char* options = std::getenv("ASAN_OPTIONS");
    const std::string asan = options && *options ? std::string(options) + ":" : std::string();
    more.push_back(std::string("LD_PRELOAD=") + ALK_FAILING_CALLS_SHIM);
    more.push_back("ASAN_OPTIONS=" + asan + "verify_asan_link_order=0");
    return more;
  }

  bool isLoaded() const { return failPath_ && pathFailures_ && refuseLinks_ && hideDiskSizes_; }

  // The calls on a path that failPath() fails: stat() only, as a moment may
  // answer it, or every look at the path, as a folder closed to this user
  // or a failing disk answers them.
  enum Calls { kStat = 1, kEveryLook = 1 | 2 | 4 };  // stat(), lstat(), open()
  // `calls` on exactly `path` fail with `error` until endPathFailures().
  void failPath(const std::string& path, int error, Calls calls) {
    if (failPath_) failPath_(path.c_str(), error, calls);
  }
  void endPathFailures() {
    if (failPath_) failPath_(nullptr, 0, 0);
  }
  // The calls failed so far by failPath().
  long pathFailures() const { return pathFailures_ ? pathFailures_() : 0; }
  // Hard links refused (EPERM), renameat2() flags refused (EINVAL).
  void refuseLinks(bool refuse) {
    if (refuseLinks_) refuseLinks_(refuse ? 1 : 0);
  }
  // statvfs() answers every count of blocks and files 0.
  void hideDiskSizes(bool hide) {
    if (hideDiskSizes_) hideDiskSizes_(hide ? 1 : 0);
  }

 private:
  template <typename Function>
  static Function lookUp(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_DEFAULT, name));
  }

  void (*const failPath_)(const char*, int, int) = lookUp<void (*)(const char*, int, int)>("failingCallsFailPath");
  long (*const pathFailures_)() = lookUp<long (*)()>("failingCallsPathFailures");
  void (*const refuseLinks_)(int) = lookUp<void (*)(int)>("failingCallsRefuseLinks");
  void (*const hideDiskSizes_)(int) = lookUp<void (*)(int)>("failingCallsHideDiskSizes");
};
