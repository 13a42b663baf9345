#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Indexes/IndexSet.h"
#include "Observation/KeyValueChange.h"
#include "Observation/ObservationToken.h"
#include "Values/Value.h"

namespace platform {

// Base of objects whose properties can be observed by key. The subclass
// brackets every change of an observable property with will.../did... and
// answers the property's current value in valueForKey().
//
// Thread rules. Observers are called synchronously on the thread that calls
// did..., after the change, under their registration's lock (see
// ObserverRegistration): first the observers of the key itself, then those
// of the keys that depend on it. An observer may add and cancel observers,
// also its own token; observers added during a notification are not called
// for it. Adding and cancelling observers is thread-safe; the will/did pairs
// of one object are made by one thread at a time. No lock of this class is
// held while valueForKey() or an observer runs. Destroying the object
// cancels every observer, waiting for a call running on another thread.
class KeyValueObservable {
 public:
  // Runs on the thread that made the change; see above.
  using Observer = std::function<void(const std::string& key, const KeyValueChange& change)>;

  KeyValueObservable();
  // A copy has the same dependent keys and no observers.
  KeyValueObservable(const KeyValueObservable& other);
  KeyValueObservable& operator=(const KeyValueObservable&) { return *this; }
  virtual ~KeyValueObservable();

  // An empty observer gives an empty token.
  [[nodiscard]] ObservationToken addObserver(const std::string& key, Observer observer);

  // The current value of an observable property; the default answers nil.
  // Subclasses override it so that old and new values can be reported.
  virtual Value valueForKey(const std::string& key) const;

 protected:
  // `key` changes whenever one of `affectingKeys` changes ("count" follows
  // "objects"), also through other dependent keys. Replaces what was set
  // for `key` before.
  void setKeysAffectingKey(const std::string& key, std::vector<std::string> affectingKeys);

  // A Setting change of `key`.
  void willChangeValueForKey(const std::string& key);
  void didChangeValueForKey(const std::string& key);

  // will... records the old values of `key` and of every key depending on it;
  // did... reads the new values and notifies. Pairs may nest, also for the
  // same key; each did... closes the innermost open will... of its key, and
  // a did... without one is ignored. Dependent keys are reported as Setting.
  void willChange(KeyValueChangeKind kind, const IndexSet& indexes, const std::string& key);
  void didChange(KeyValueChangeKind kind, const IndexSet& indexes, const std::string& key);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
