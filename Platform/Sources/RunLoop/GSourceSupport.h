#pragma once

#include <glib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>

#include "RunLoop/ThreadSanitizer.h"

// Glue between the platform's run-loop objects and GLib sources.

namespace platform {

// A GLib source that fires at a monotonic time (g_get_monotonic_time, in
// microseconds) and calls its callback then; the callback reschedules it with
// g_source_set_ready_time or answers G_SOURCE_REMOVE. Returned with one
// reference, not attached.
GSource* newDeadlineSource(gint64 readyTimeMicros);

// The monotonic time, in GLib's microseconds, `delay` from now; never in the past.
gint64 monotonicMicrosAfter(std::chrono::steady_clock::duration delay);

// Attaches a source to a context; what the caller did to the source and its
// callback data before happens before the source's callbacks.
void attachSource(GSource* source, GMainContext* context);

// The one source of `funcs` that `context` holds, so that no table of
// contexts is needed. Made at the first call for the context: `size` bytes (a
// struct that begins with its GSource), filled in by `fill`, named `name` and
// attached; the context keeps it until it goes, and `funcs`' finalize cleans
// up what `fill` made. Any thread; threads asking at once for one context get
// the same source.
GSource* contextSource(GMainContext* context, GSourceFuncs* funcs, std::size_t size, const char* name,
                       const std::function<void(GSource*)>& fill);

#ifdef PLATFORM_TSAN
// The lock a ThreadSanitizer build takes around onContext's calls: one of a
// few, picked by the context.
std::mutex& contextCallLock(GMainContext* context);
#endif

// Calls into GLib on a context that other threads may use at the same time:
// attaching a source, looking one up; never a call that blocks or runs
// callbacks. GLib serialises these calls with the context's lock, which
// ThreadSanitizer cannot see: its builds take a lock of ours around the call
// too, and state with annotations keyed by the context that the call happens
// before the context's later turns (RunLoop::runOnce) and after its earlier
// ones.
template <class Call>
decltype(auto) onContext(GMainContext* context, Call&& call) {
#ifdef PLATFORM_TSAN
  std::lock_guard lock(contextCallLock(context));
#endif
  PLATFORM_TSAN_ACQUIRE(context);
  struct Released {
    GMainContext* context;
    ~Released() { PLATFORM_TSAN_RELEASE(context); }
  } released{context};
  return call();
}

}  // namespace platform
