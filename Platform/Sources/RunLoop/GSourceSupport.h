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

}  // namespace platform
