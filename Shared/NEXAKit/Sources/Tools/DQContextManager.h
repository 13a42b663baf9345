#pragma once

#include <memory>
#include <mutex>

#include "DQContextReference.h"
#include "Values/Dictionary.h"
#include "Values/Object.h"
#include "Values/Value.h"

// Keeps the contexts of outstanding asynchronous operations (transfers whose
// completion comes later), each under a fresh UUID, until the completion takes
// its context out again. Thread-safe.
class DQContextManager : public platform::Object {
 public:
  static std::shared_ptr<DQContextManager> make() { return std::make_shared<DQContextManager>(); }

  // Stores `context` under a new key and returns the reference to hand to the
  // host as the operation's tag.
  std::shared_ptr<DQContextReference> addContextReferenceWithContext(platform::Value context);
  // Takes the reference's entry out of its manager and answers its context.
  // When the manager is gone, answers nil and does nothing.
  static platform::Value removeContextReference(const std::shared_ptr<DQContextReference>& reference);
  // Forgets every reference; their completions then find nothing here.
  void removeAllContexts();

  // Key to reference, in the order they were added.
  platform::Dictionary contexts() const;

 private:
  mutable std::mutex mutex_;  // guards contexts_; any thread, never held while calling out
  platform::Dictionary contexts_;
};
