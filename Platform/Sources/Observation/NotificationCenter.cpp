#include "Observation/NotificationCenter.h"

#include <algorithm>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed, so that observers cancelled during exit still find it.
  static NotificationCenter* center = new NotificationCenter();
  return *center;
}

ObservationToken NotificationCenter::addObserver(std::string name, const void* sender,
                                                 std::function<void(const Notification&)> block) {
  if (!block) return {};
  auto registration = std::make_shared<Registration>(
      std::move(block), [this](const Registration* cancelled) { remove(cancelled); });
  std::lock_guard lock(mutex_);
  entries_.push_back({std::move(name), sender, registration});
  return ObservationToken(registration);
}

void NotificationCenter::remove(const Registration* registration) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const Entry& entry) { return entry.registration.get() == registration; });
}

void NotificationCenter::post(std::string_view name, const void* sender, const Dictionary& userInfo) {
  std::vector<std::shared_ptr<Registration>> matching;
  {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : entries_) {
      if ((entry.name.empty() || entry.name == name) && (!entry.sender || entry.sender == sender)) {
        matching.push_back(entry.registration);
      }
    }
  }
  if (matching.empty()) return;
  const Notification notification{std::string(name), sender, userInfo};
  for (const auto& registration : matching) registration->call(notification);
}

}  // namespace platform
