#pragma once

#include <memory>
#include <mutex>

// The slot of a process-wide shared instance and its once-token: the
// instance is made on first use, and reset() lets go of it so that the next
// use makes a new one. Keep the slot where it is never destroyed, so that the
// instance outlives the static destructors run at exit. Thread-safe.
template <class T>
class ALKSharedInstance {
 public:
  // The instance; `created` tells whether this call made it.
  std::shared_ptr<T> get(bool* created = nullptr) {
    std::lock_guard lock(mutex_);
    const bool making = !instance_;
    if (making) instance_ = std::make_shared<T>();
    if (created) *created = making;
    return instance_;
  }
  // A last reference goes after the lock is released.
  void reset() {
    std::shared_ptr<T> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(instance_);
  }

 private:
  std::mutex mutex_;  // guards instance_; any thread
  std::shared_ptr<T> instance_;
};
