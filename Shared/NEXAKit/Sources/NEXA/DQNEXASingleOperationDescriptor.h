#pragma once

#include "DQNEXABaseOperationDescriptor.h"

// A request for one fixed path.
class DQNEXASingleOperationDescriptor : public DQNEXABaseOperationDescriptor {
 public:
  // An empty name becomes defaultNameForPath(path, resultClass).
  DQNEXASingleOperationDescriptor(std::string name, std::string path, std::optional<DQNEXAResultClass> resultClass,
                                  bool cacheSupported, double connectionTimeout, std::uint64_t maxRetriesCount,
                                  double timeoutBetweenRetries);

  std::optional<std::string> URLPathForOperation(const DQNEXAAccessOperation& operation,
                                                 platform::ErrorPtr* error) const override;
  const std::string& path() const { return path_; }

  // "DQNEXASingleOperation:<path>-<class name, or Default>".
  static std::string defaultNameForPath(const std::string& path, const std::optional<DQNEXAResultClass>& resultClass);

 private:
  const std::string path_;
};
