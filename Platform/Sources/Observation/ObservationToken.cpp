#include "Observation/ObservationToken.h"

namespace platform {

ObservationToken& ObservationToken::operator=(ObservationToken&& other) noexcept {
  if (this != &other) {
    cancel();
    registration_ = std::move(other.registration_);
  }
  return *this;
}

void ObservationToken::cancel() {
  // Taken out first so that a cancel() reached again from inside the
  // observer finds the token empty.
  if (auto registration = std::move(registration_)) registration->cancel();
}

}  // namespace platform
