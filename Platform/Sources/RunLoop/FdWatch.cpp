#include "RunLoop/FdWatch.h"

#include <glib.h>

#include "RunLoop/GSourceSupport.h"

namespace platform {
namespace {

struct WatchSource {
  GSource base;
  FdWatch* owner;  // cleared when the watch goes
};

}  // namespace

int FdWatch::dispatch(GSource* source, int (*)(void*), void*) {
  PLATFORM_TSAN_ACQUIRE(source);
  auto self = reinterpret_cast<WatchSource*>(source);
  FdWatch* owner = self->owner;
  if (!owner) return G_SOURCE_REMOVE;
  const unsigned conditions = g_source_query_unix_fd(source, owner->tag_);
  if (conditions != 0) {
    // Copy: the callback may destroy this watch.
    Callback callback = owner->callback_;
    callback(owner->fd_, conditions);
  }
  PLATFORM_TSAN_RELEASE(source);
  return G_SOURCE_CONTINUE;
}

FdWatch::FdWatch(const RunLoop& runLoop, int fd, unsigned events, Callback callback)
    : fd_(fd), callback_(std::move(callback)) {
  static GSourceFuncs funcs = {nullptr, nullptr, &FdWatch::dispatch, nullptr, nullptr, nullptr};
  source_ = g_source_new(&funcs, sizeof(WatchSource));
  reinterpret_cast<WatchSource*>(source_)->owner = this;
  tag_ = g_source_add_unix_fd(source_, fd, static_cast<GIOCondition>(events));
  g_source_set_name(source_, "platform.fd");
  attachSource(source_, runLoop.context());
}

FdWatch::~FdWatch() {
  reinterpret_cast<WatchSource*>(source_)->owner = nullptr;
  PLATFORM_TSAN_RELEASE(source_);
  g_source_destroy(source_);
  g_source_unref(source_);
}

void FdWatch::setEvents(unsigned events) {
  g_source_modify_unix_fd(source_, tag_, static_cast<GIOCondition>(events));
}

}  // namespace platform
