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

GSource* contextSource(GMainContext* context, GSourceFuncs* funcs, std::size_t size, const char* name,
                       const std::function<void(GSource*)>& fill) {
  static std::mutex creation;  // two threads must not attach two for one context
  std::lock_guard lock(creation);
  // The source is found by its funcs, which it also holds as its callback data.
  GSource* found =
      onContext(context, [&] { return g_main_context_find_source_by_funcs_user_data(context, funcs, funcs); });
  if (found) return found;
  GSource* source = g_source_new(funcs, static_cast<guint>(size));
  fill(source);
  g_source_set_callback(source, nullptr, funcs, nullptr);
  g_source_set_name(source, name);
  attachSource(source, context);
  g_source_unref(source);  // the context keeps it
  return source;
}

}  // namespace platform
