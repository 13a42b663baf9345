#include "Observation/KeyValueObservable.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

#include "Observation/ObserverRegistration.h"

namespace platform {

struct KeyValueObservable::State {
  using Registration = ObserverRegistration<const std::string&, const KeyValueChange&>;

  // What will... saw: the key's old value and those of the keys depending on it.
  struct Pending {
    Value oldValue;
    std::vector<std::pair<std::string, Value>> dependents;
  };

  // Guards every member; never held while valueForKey() or an observer runs.
  std::mutex mutex;
  std::map<std::string, std::vector<std::shared_ptr<Registration>>> observers;
  std::map<std::string, std::vector<std::string>> affectingKeys;  // key -> the keys it follows
  std::map<std::string, std::vector<Pending>> pending;            // per key, innermost last

  // Every key that changes when `key` changes, each once, nearest first.
  std::vector<std::string> dependentsOf(const std::string& key) {
    std::lock_guard lock(mutex);
    std::vector<std::string> found;
    for (std::size_t next = 0;; ++next) {
      const std::string changed = next == 0 ? key : found[next - 1];  // found grows below
      for (const auto& [dependent, affecting] : affectingKeys) {
        if (dependent != key && std::ranges::find(found, dependent) == found.end() &&
            std::ranges::find(affecting, changed) != affecting.end()) {
          found.push_back(dependent);
        }
      }
      if (next == found.size()) return found;
    }
  }

  std::vector<std::shared_ptr<Registration>> observersOf(const std::string& key) {
    std::lock_guard lock(mutex);
    auto it = observers.find(key);
    return it == observers.end() ? std::vector<std::shared_ptr<Registration>>{} : it->second;
  }

  void remove(const std::string& key, const Registration* registration) {
    std::lock_guard lock(mutex);
    auto it = observers.find(key);
    if (it == observers.end()) return;
    std::erase_if(it->second, [&](const auto& entry) { return entry.get() == registration; });
    if (it->second.empty()) observers.erase(it);
  }
};

KeyValueObservable::KeyValueObservable() : state_(std::make_shared<State>()) {}

KeyValueObservable::KeyValueObservable(const KeyValueObservable& other) : state_(std::make_shared<State>()) {
  std::lock_guard lock(other.state_->mutex);
  state_->affectingKeys = other.state_->affectingKeys;
}

KeyValueObservable::~KeyValueObservable() {
  std::vector<std::shared_ptr<State::Registration>> registrations;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& [key, list] : state_->observers) {
      registrations.insert(registrations.end(), list.begin(), list.end());
    }
    state_->observers.clear();
  }
  for (const auto& registration : registrations) registration->cancel();
}

ObservationToken KeyValueObservable::addObserver(const std::string& key, Observer observer) {
  if (!observer) return {};
  // The registration may outlive this object; it then finds no state to leave.
  std::weak_ptr<State> weakState = state_;
  auto registration = std::make_shared<State::Registration>(
      std::move(observer), [weakState, key](const State::Registration* cancelled) {
        if (auto state = weakState.lock()) state->remove(key, cancelled);
      });
  std::lock_guard lock(state_->mutex);
  state_->observers[key].push_back(registration);
  return ObservationToken(registration);
}

Value KeyValueObservable::valueForKey(const std::string&) const { return {}; }

void KeyValueObservable::setKeysAffectingKey(const std::string& key, std::vector<std::string> affectingKeys) {
  std::lock_guard lock(state_->mutex);
  state_->affectingKeys[key] = std::move(affectingKeys);
}

void KeyValueObservable::willChangeValueForKey(const std::string& key) {
  willChange(KeyValueChangeKind::Setting, {}, key);
}

void KeyValueObservable::didChangeValueForKey(const std::string& key) {
  didChange(KeyValueChangeKind::Setting, {}, key);
}

void KeyValueObservable::willChange(KeyValueChangeKind, const IndexSet&, const std::string& key) {
  State::Pending pending{valueForKey(key), {}};
  for (std::string& dependent : state_->dependentsOf(key)) {
    Value oldValue = valueForKey(dependent);
    pending.dependents.emplace_back(std::move(dependent), std::move(oldValue));
  }
  std::lock_guard lock(state_->mutex);
  state_->pending[key].push_back(std::move(pending));
}

void KeyValueObservable::didChange(KeyValueChangeKind kind, const IndexSet& indexes, const std::string& key) {
  State::Pending pending;
  {
    std::lock_guard lock(state_->mutex);
    auto it = state_->pending.find(key);
    if (it == state_->pending.end()) return;
    pending = std::move(it->second.back());
    it->second.pop_back();
    if (it->second.empty()) state_->pending.erase(it);
  }
  // Every new value is read before the first observer can change anything.
  const KeyValueChange change{kind, std::move(pending.oldValue), valueForKey(key), indexes};
  std::vector<KeyValueChange> dependentChanges;
  for (auto& [dependent, oldValue] : pending.dependents) {
    dependentChanges.push_back({KeyValueChangeKind::Setting, std::move(oldValue), valueForKey(dependent), {}});
  }
  // The state stays alive even if an observer destroys this object.
  const std::shared_ptr<State> state = state_;
  for (const auto& registration : state->observersOf(key)) registration->call(key, change);
  for (std::size_t i = 0; i < pending.dependents.size(); ++i) {
    const std::string& dependent = pending.dependents[i].first;
    for (const auto& registration : state->observersOf(dependent)) registration->call(dependent, dependentChanges[i]);
  }
}

}  // namespace platform
