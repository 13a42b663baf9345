#include "DQContextManager.h"

#include "Text/Uuid.h"

std::shared_ptr<DQContextReference> DQContextManager::addContextReferenceWithContext(platform::Value context) {
  auto reference = std::make_shared<DQContextReference>(sharedAs<DQContextManager>(), platform::Uuid::newString(),
                                                        std::move(context));
  std::lock_guard lock(mutex_);
  contexts_.set(reference->key(), platform::Value(reference));
  return reference;
}

platform::Value DQContextManager::removeContextReference(const std::shared_ptr<DQContextReference>& reference) {
  if (!reference) return {};
  auto manager = reference->manager();
  if (!manager) return {};
  {
    std::lock_guard lock(manager->mutex_);
    manager->contexts_.remove(reference->key());
  }
  return reference->context();
}

void DQContextManager::removeAllContexts() {
  platform::Dictionary released;
  {
    std::lock_guard lock(mutex_);
    std::swap(released, contexts_);
  }
  // The contexts are released outside the lock: they may be anything.
}

platform::Dictionary DQContextManager::contexts() const {
  std::lock_guard lock(mutex_);
  return contexts_;
}
