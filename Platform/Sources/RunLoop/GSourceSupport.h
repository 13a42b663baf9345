#pragma once

#include <glib.h>

#include <chrono>

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

// Calls into GLib on a context that another thread may own or use at the same
// time (attaching, looking up, iterating). GLib orders these calls with the
// context's own lock, which ThreadSanitizer cannot see; the calls made through
// here state that order, keyed by the context.
template <class Call>
decltype(auto) onContext(GMainContext* context, Call&& call) {
  PLATFORM_TSAN_ACQUIRE(context);
  struct Released {
    GMainContext* context;
    ~Released() { PLATFORM_TSAN_RELEASE(context); }
  } released{context};
  return call();
}

}  // namespace platform
