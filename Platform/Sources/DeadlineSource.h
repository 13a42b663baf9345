#pragma once

#include <glib.h>

#include <chrono>

namespace platform {

// A GLib source that fires at a monotonic time (g_get_monotonic_time, in
// microseconds) and calls its callback then; the callback reschedules it with
// g_source_set_ready_time or answers G_SOURCE_REMOVE. Returned with one
// reference, not attached.
GSource* newDeadlineSource(gint64 readyTimeMicros);

// The monotonic time, in GLib's microseconds, `delay` from now; never in the past.
gint64 monotonicMicrosAfter(std::chrono::steady_clock::duration delay);

}  // namespace platform
