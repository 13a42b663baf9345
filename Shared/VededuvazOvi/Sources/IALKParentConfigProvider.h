#pragma once

#include <memory>

class ALKConfig;

// Supplies the parent of a configuration: the values a config does not hold
// itself are read from it. Called on the thread that reads the config.
class IALKParentConfigProvider {
 public:
  virtual ~IALKParentConfigProvider() = default;
  virtual std::shared_ptr<ALKConfig> parentConfig() const = 0;
};
