#include "RunLoop/GSourceSupport.h"

#include <array>
#include <cstdint>

namespace platform {
namespace {

gboolean dispatchDeadline(GSource* source, GSourceFunc callback, gpointer data) {
  PLATFORM_TSAN_ACQUIRE(source);
  if (!callback) return G_SOURCE_REMOVE;
  // Not ready again until the callback says when.
  g_source_set_ready_time(source, -1);
  const gboolean result = callback(data);
  // The callback data may be freed later on another thread (a destroy notify).
  PLATFORM_TSAN_RELEASE(data);
  PLATFORM_TSAN_RELEASE(source);
  return result;
}

GSourceFuncs kDeadlineFuncs = {nullptr, nullptr, dispatchDeadline, nullptr, nullptr, nullptr};

}  // namespace

GSource* newDeadlineSource(gint64 readyTimeMicros) {
  GSource* source = g_source_new(&kDeadlineFuncs, sizeof(GSource));
  g_source_set_ready_time(source, readyTimeMicros);
  return source;
}

gint64 monotonicMicrosAfter(std::chrono::steady_clock::duration delay) {
  const auto micros = std::chrono::ceil<std::chrono::microseconds>(delay).count();
  const gint64 now = g_get_monotonic_time();
  if (micros <= 0) return now;
  return micros > G_MAXINT64 - now ? G_MAXINT64 : now + micros;
}

#ifdef PLATFORM_TSAN
std::mutex& contextCallLock(GMainContext* context) {
  static std::array<std::mutex, 16> locks;
  // The high bits of a multiplicative hash: contexts are aligned alike.
  const auto mixed = reinterpret_cast<std::uintptr_t>(context) * 0x9E3779B97F4A7C15ull;
  return locks[static_cast<std::size_t>(mixed >> 60)];
}
#endif

void attachSource(GSource* source, GMainContext* context) {
  PLATFORM_TSAN_RELEASE(source);
  onContext(context, [&] { return g_source_attach(source, context); });
}

}  // namespace platform
