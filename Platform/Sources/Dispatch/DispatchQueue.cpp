#include "Dispatch/DispatchQueue.h"

#include <glib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <future>
#include <limits>

#include "RunLoop/RunLoopThread.h"
#include "RunLoop/ThreadSanitizer.h"

namespace platform {
namespace {

void runPooledBlock(gpointer data, gpointer) {
  PLATFORM_TSAN_ACQUIRE(data);  // handed over through GLib's queue
  std::unique_ptr<std::function<void()>> block(static_cast<std::function<void()>*>(data));
  (*block)();
}

}  // namespace

DispatchTime dispatchTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<DispatchTime>(ts.tv_sec) * 1000000000ull + static_cast<DispatchTime>(ts.tv_nsec);
}

DispatchTime dispatchTime(DispatchTime base, std::int64_t deltaNanoseconds) {
  if (base == kDispatchTimeForever) return kDispatchTimeForever;
  if (base == kDispatchTimeNow) base = dispatchTimeNow();
  if (deltaNanoseconds >= 0) {
    const auto delta = static_cast<DispatchTime>(deltaNanoseconds);
    const DispatchTime limit = kDispatchTimeForever - 1;
    return delta > limit - base ? limit : base + delta;
  }
  const auto back = static_cast<DispatchTime>(-(deltaNanoseconds + 1)) + 1;
  return back >= base ? 1 : base - back;
}

std::int64_t dispatchDelta(double seconds) {
  if (std::isnan(seconds) || seconds <= 0) return 0;
  const double nanos = seconds * 1e9;
  if (nanos >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(nanos);
}

bool DispatchQueue::isMainThread() { return getpid() == static_cast<pid_t>(syscall(SYS_gettid)); }

namespace {
std::unique_ptr<RunLoopThread> threadFor(bool needed, const std::string& name) {
  return needed ? std::make_unique<RunLoopThread>(name) : nullptr;
}
}  // namespace

DispatchQueue::DispatchQueue(Kind kind, std::string label)
    : kind_(kind),
      label_(std::move(label)),
      runLoop_(RunLoop::main()),
      thread_(threadFor(kind_ != Kind::Main, kind_ == Kind::Serial ? label_ : "dispatch.timers")) {
  if (thread_) runLoop_ = thread_->runLoop();
  if (kind_ == Kind::Global) {
    pool_ = g_thread_pool_new(runPooledBlock, nullptr, static_cast<gint>(g_get_num_processors()), FALSE, nullptr);
  }
}

DispatchQueue::~DispatchQueue() {
  if (pool_) g_thread_pool_free(static_cast<GThreadPool*>(pool_), FALSE, TRUE);
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  // Never destroyed: blocks may still be posted while the process exits.
  static auto* queue = new std::shared_ptr<DispatchQueue>(new DispatchQueue(Kind::Main, "main"));
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global() {
  static auto* queue = new std::shared_ptr<DispatchQueue>(new DispatchQueue(Kind::Global, "global.default"));
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label) {
  return std::shared_ptr<DispatchQueue>(new DispatchQueue(Kind::Serial, std::move(label)));
}

void DispatchQueue::async(std::function<void()> block) {
  if (kind_ == Kind::Global) {
    auto pooled = new std::function<void()>(std::move(block));
    PLATFORM_TSAN_RELEASE(pooled);
    g_thread_pool_push(static_cast<GThreadPool*>(pool_), pooled, nullptr);
  } else {
    runLoop_.perform(std::move(block));
  }
}

void DispatchQueue::after(DispatchTime when, std::function<void()> block) {
  if (when == kDispatchTimeForever) return;
  const DispatchTime now = dispatchTimeNow();
  const DispatchTime wait = when > now ? std::min<DispatchTime>(when - now, std::numeric_limits<std::int64_t>::max()) : 0;
  const auto delay = std::chrono::nanoseconds(static_cast<std::int64_t>(wait));
  if (kind_ == Kind::Global) {
    runLoop_.performAfter(delay, [this, block = std::move(block)]() mutable { async(std::move(block)); });
  } else {
    runLoop_.performAfter(delay, std::move(block));
  }
}

void DispatchQueue::sync(const std::function<void()>& block) {
  if (isCurrent()) {
    block();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  async([&] {
    try {
      block();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  finished.get();
}

bool DispatchQueue::isCurrent() const {
  switch (kind_) {
    case Kind::Main:
      return isMainThread();
    case Kind::Serial:
      return thread_->isCurrent();
    case Kind::Global:
      return false;
  }
  return false;
}

}  // namespace platform
