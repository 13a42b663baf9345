#include "RunLoop/RunLoop.h"

#include <glib.h>

#include <deque>
#include <mutex>
#include <utility>

#include "RunLoop/GSourceSupport.h"

namespace platform {
namespace {

// One FIFO of blocks per context, kept in the context's own source (see
// contextSource).
struct PerformSource {
  GSource base;
  std::mutex* mutex;                             // guards blocks
  std::deque<std::function<void()>>* blocks;
};

gboolean performCheck(GSource* source) {
  PLATFORM_TSAN_ACQUIRE(source);
  auto self = reinterpret_cast<PerformSource*>(source);
  bool ready;
  {
    std::lock_guard lock(*self->mutex);
    ready = !self->blocks->empty();
  }
  PLATFORM_TSAN_RELEASE(source);
  return ready;
}

gboolean performPrepare(GSource* source, gint* timeout) {
  *timeout = -1;
  return performCheck(source);
}

gboolean performDispatch(GSource* source, GSourceFunc, gpointer) {
  PLATFORM_TSAN_ACQUIRE(source);
  auto self = reinterpret_cast<PerformSource*>(source);
  // Run what was queued when the turn began, one block at a time, taking each
  // from the front: a block that spins the run loop again runs the next blocks
  // in order from inside, and blocks queued meanwhile wait for a later turn.
  std::size_t budget;
  {
    std::lock_guard lock(*self->mutex);
    budget = self->blocks->size();
  }
  while (budget-- > 0) {
    std::function<void()> block;
    {
      std::lock_guard lock(*self->mutex);
      if (self->blocks->empty()) break;
      block = std::move(self->blocks->front());
      self->blocks->pop_front();
    }
    block();
  }
  PLATFORM_TSAN_RELEASE(source);
  return G_SOURCE_CONTINUE;
}

void performFinalize(GSource* source) {
  PLATFORM_TSAN_ACQUIRE(source);
  auto self = reinterpret_cast<PerformSource*>(source);
  delete self->blocks;
  delete self->mutex;
}

GSourceFuncs kPerformFuncs = {performPrepare, performCheck, performDispatch, performFinalize, nullptr, nullptr};

PerformSource* performSource(GMainContext* context) {
  const auto fill = [](GSource* made) {
    auto self = reinterpret_cast<PerformSource*>(made);
    self->mutex = new std::mutex;
    self->blocks = new std::deque<std::function<void()>>;
    g_source_set_can_recurse(made, TRUE);
  };
  return reinterpret_cast<PerformSource*>(
      contextSource(context, &kPerformFuncs, sizeof(PerformSource), "platform.perform", fill));
}

gboolean runBlockOnce(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void deleteBlock(gpointer data) {
  PLATFORM_TSAN_ACQUIRE(data);
  delete static_cast<std::function<void()>*>(data);
}

gboolean stopWaiting(gpointer) { return G_SOURCE_REMOVE; }

// GLib makes the main context, and its wake-up descriptor with it, on the first
// call of g_main_context_default() on whatever thread makes it, and hands it to
// later callers under a lock of its own, which ThreadSanitizer cannot see.
// Every run loop handle finds the main context here; in ThreadSanitizer builds
// it is made while the process loads, before any thread starts, so that its
// making happens before every use on every thread.
GMainContext* mainContext() {
  static GMainContext* const context = g_main_context_default();
  return context;
}
#ifdef PLATFORM_TSAN
[[maybe_unused]] GMainContext* const kMainContextAtLoad = mainContext();
#endif

}  // namespace

RunLoop RunLoop::current() {
  // A thread that pushed no context of its own runs the main context.
  GMainContext* context = g_main_context_get_thread_default();
  return RunLoop(context ? context : mainContext());
}

RunLoop RunLoop::main() { return RunLoop(mainContext()); }

RunLoop::RunLoop(GMainContext* context) : context_(g_main_context_ref(context)) {}
RunLoop::RunLoop(const RunLoop& other)
    : context_(g_main_context_ref(other.context_)), performSource_(other.performSource_.load()) {}
RunLoop::RunLoop(RunLoop&& other) noexcept
    : context_(std::exchange(other.context_, nullptr)), performSource_(other.performSource_.exchange(nullptr)) {}
RunLoop& RunLoop::operator=(RunLoop other) noexcept {
  std::swap(context_, other.context_);
  performSource_.store(other.performSource_.exchange(performSource_.load()));
  return *this;
}
RunLoop::~RunLoop() {
  if (context_) g_main_context_unref(context_);
}

bool RunLoop::isMain() const { return context_ == mainContext(); }

bool RunLoop::runOnce(bool mayBlock) const {
  // Other threads attach to this context between and during turns, under
  // GLib's lock on the context (see onContext).
  PLATFORM_TSAN_ACQUIRE(context_);
  const bool dispatched = g_main_context_iteration(context_, mayBlock);
  PLATFORM_TSAN_RELEASE(context_);
  return dispatched;
}

void RunLoop::runUntil(Clock::time_point deadline) const {
  runUntil([] { return false; }, deadline - Clock::now());
}

bool RunLoop::runUntil(const std::function<bool()>& done, Clock::duration timeout) const {
  // Saturating: a time-out of "for ever" must not wrap into the past.
  const auto start = Clock::now();
  const auto deadline =
      timeout > Clock::time_point::max() - start ? Clock::time_point::max() : start + timeout;
  GSource* timer = nullptr;
  bool result = done();
  while (!result) {
    const auto now = Clock::now();
    if (now >= deadline) break;
    if (timer && g_source_is_destroyed(timer)) {
      // It fired a hair early by this clock; wait for the rest.
      g_source_unref(timer);
      timer = nullptr;
    }
    if (!timer) {
      // A wake-up at the deadline, so that the last turn cannot block for ever.
      timer = newDeadlineSource(monotonicMicrosAfter(deadline - now));
      g_source_set_callback(timer, stopWaiting, nullptr, nullptr);
      attachSource(timer, context_);
    }
    runOnce(true);
    result = done();
  }
  if (timer) {
    g_source_destroy(timer);
    g_source_unref(timer);
  }
  return result;
}

void RunLoop::wakeUp() const { g_main_context_wakeup(context_); }

void RunLoop::perform(std::function<void()> block) const {
  // Every lookup of a context finds the same source, so racing fills agree.
  auto source = static_cast<PerformSource*>(performSource_.load(std::memory_order_acquire));
  if (!source) {
    source = performSource(context_);
    performSource_.store(source, std::memory_order_release);
  }
  bool wasEmpty;
  {
    std::lock_guard lock(*source->mutex);
    wasEmpty = source->blocks->empty();
    source->blocks->push_back(std::move(block));
  }
  // Only the first block needs a wake-up: while blocks wait, every turn sees
  // them before it would block.
  if (wasEmpty) g_main_context_wakeup(context_);
}

void RunLoop::performAfter(Clock::duration delay, std::function<void()> block) const {
  GSource* timer = newDeadlineSource(monotonicMicrosAfter(delay));
  g_source_set_callback(timer, runBlockOnce, new std::function<void()>(std::move(block)), deleteBlock);
  attachSource(timer, context_);
  g_source_unref(timer);
}

}  // namespace platform
