#pragma once

#include <memory>

namespace platform {

// The handle of one observer, as the notification centre and key-value
// observation return it. Destroying the token or calling cancel() removes the
// observer; once cancel() has returned, the observer is not called again,
// whatever other threads are doing. A token is move-only and, like any other
// object, is used by one thread at a time; cancelling its registration is
// thread-safe.
class ObservationToken {
 public:
  // One observer's entry as its owner keeps it; see ObserverRegistration.
  class Registration {
   public:
    virtual ~Registration() = default;
    // Idempotent; may be called on any thread, also from inside the
    // observer's own call.
    virtual void cancel() = 0;
    virtual bool isActive() const = 0;
  };

  ObservationToken() = default;
  explicit ObservationToken(std::shared_ptr<Registration> registration)
      : registration_(std::move(registration)) {}
  ObservationToken(ObservationToken&& other) noexcept = default;
  // Cancels the observer this token held before taking over `other`'s.
  ObservationToken& operator=(ObservationToken&& other) noexcept;
  ObservationToken(const ObservationToken&) = delete;
  ObservationToken& operator=(const ObservationToken&) = delete;
  ~ObservationToken() { cancel(); }

  void cancel();
  // False for an empty token and once the observer was removed (by cancel()
  // or because the observed object went away).
  bool isActive() const { return registration_ && registration_->isActive(); }

 private:
  std::shared_ptr<Registration> registration_;
};

}  // namespace platform
