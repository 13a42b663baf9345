#include "Errors/Exception.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

// The one uncaught-exception hook of the process. The mutex guards the
// handler and the saved terminate handler; it is never held while either runs.
struct UncaughtHook {
  std::mutex mutex;
  std::function<void(const Exception&)> handler;
  std::terminate_handler previous = nullptr;
  bool installed = false;
};

UncaughtHook& hook() {
  static UncaughtHook* instance = new UncaughtHook();  // used until the very end of the process
  return *instance;
}

Exception escapingException() {
  try {
    std::rethrow_exception(std::current_exception());
  } catch (const Exception& exception) {
    return exception;
  } catch (const std::exception& exception) {
    return Exception("std::exception", exception.what());
  } catch (...) {
    return Exception("unknown exception", "unknown exception");
  }
}

[[noreturn]] void onTerminate() {
  std::function<void(const Exception&)> handler;
  std::terminate_handler previous = nullptr;
  {
    std::lock_guard lock(hook().mutex);
    handler = hook().handler;
    previous = hook().previous;
  }
  static std::atomic<bool> reported{false};
  if (handler && std::current_exception() && !reported.exchange(true)) {
    try {
      handler(escapingException());
    } catch (...) {
      // The process is going down either way.
    }
  }
  if (previous) previous();
  std::abort();
}

}  // namespace

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

void Exception::setUncaughtExceptionHandler(std::function<void(const Exception&)> handler) {
  std::lock_guard lock(hook().mutex);
  if (handler && !hook().installed) {
    hook().previous = std::set_terminate(onTerminate);
    hook().installed = true;
  } else if (!handler && hook().installed) {
    std::set_terminate(hook().previous);
    hook().previous = nullptr;
    hook().installed = false;
  }
  hook().handler = std::move(handler);
}

std::function<void(const Exception&)> Exception::uncaughtExceptionHandler() {
  std::lock_guard lock(hook().mutex);
  return hook().handler;
}

}  // namespace platform
