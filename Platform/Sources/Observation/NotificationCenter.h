#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Observation/Notification.h"
#include "Observation/ObservationToken.h"
#include "Observation/ObserverRegistration.h"

namespace platform {

// The process-wide, synchronous notification centre. Thread-safe: observers
// may be added, cancelled and notifications posted from any thread.
class NotificationCenter {
 public:
  // The single instance; it lives until the process ends.
  static NotificationCenter& defaultCenter();

  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Observes notifications named `name` ("" for every name) posted by
  // `sender` (nullptr for every sender) until the token is cancelled or
  // destroyed. The block runs on the posting thread, under the registration's
  // lock (see ObserverRegistration); it may add and cancel observers, cancel
  // its own token and post. An empty block gives an empty token.
  [[nodiscard]] ObservationToken addObserver(std::string name, const void* sender,
                                             std::function<void(const Notification&)> block);

  // Calls every matching observer on this thread before returning, in the
  // order they were added. Observers added during the post are not called for
  // it; observers cancelled during it are not called any more.
  void post(std::string_view name, const void* sender, const Dictionary& userInfo = {});

 private:
  using Registration = ObserverRegistration<const Notification&>;
  struct Entry {
    std::string name;
    const void* sender;
    std::shared_ptr<Registration> registration;
  };

  NotificationCenter() = default;
  void remove(const Registration* registration);

  // Guards entries_ only; never held while an observer runs or while a
  // registration's lock is taken.
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace platform
