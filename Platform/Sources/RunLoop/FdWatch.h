#pragma once

#include <functional>
#include <memory>

#include "RunLoop/RunLoop.h"

typedef struct _GSource GSource;

namespace platform {

// Watches a file descriptor from a run loop, for libraries that hand their
// sockets to the caller (libcurl, Avahi, libusb). Removed when destroyed.
class FdWatch {
 public:
  // The same bits as GLib's GIOCondition.
  static constexpr unsigned kReadable = 1;  // G_IO_IN
  static constexpr unsigned kWritable = 4;  // G_IO_OUT
  static constexpr unsigned kError = 8;     // G_IO_ERR
  static constexpr unsigned kHangUp = 16;   // G_IO_HUP

  // Called on the run loop's thread with the conditions that are met.
  using Callback = std::function<void(int fd, unsigned conditions)>;

  // Starts watching `fd` for `events` on `runLoop`. Call on the run loop's
  // thread (or before it runs).
  FdWatch(const RunLoop& runLoop, int fd, unsigned events, Callback callback);
  // On the run loop's thread too, also from inside the callback: a watch
  // destroyed on another thread may still be called while it goes.
  ~FdWatch();
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;

  // On the run loop's thread.
  void setEvents(unsigned events);
  int fd() const { return fd_; }

 private:
  static int dispatch(GSource* source, int (*callback)(void*), void* data);

  int fd_;
  GSource* source_;
  void* tag_;
  Callback callback_;
};

}  // namespace platform
