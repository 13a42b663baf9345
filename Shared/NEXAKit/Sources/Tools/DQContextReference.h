#pragma once

#include <memory>
#include <string>

#include "Values/Object.h"
#include "Values/Value.h"

class DQContextManager;

// The tag of one outstanding asynchronous operation, made by a context
// manager: {"manager" held without ownership, "key", "context"}. Whoever
// hands the reference to a host keeps it alive until the completion ran.
class DQContextReference : public platform::Object {
 public:
  DQContextReference(std::weak_ptr<DQContextManager> manager, std::string key, platform::Value context)
      : manager_(std::move(manager)), key_(std::move(key)), context_(std::move(context)) {}

  // The manager, or nullptr once it is gone.
  std::shared_ptr<DQContextManager> manager() const { return manager_.lock(); }
  const std::string& key() const { return key_; }
  const platform::Value& context() const { return context_; }

 private:
  const std::weak_ptr<DQContextManager> manager_;
  const std::string key_;
  const platform::Value context_;
};
