#include "DQNEXASingleOperationDescriptor.h"

#include "Text/Format.h"

DQNEXASingleOperationDescriptor::DQNEXASingleOperationDescriptor(std::string name, std::string path,
                                                                 std::optional<DQNEXAResultClass> resultClass,
                                                                 bool cacheSupported, double connectionTimeout,
                                                                 std::uint64_t maxRetriesCount,
                                                                 double timeoutBetweenRetries)
    : DQNEXABaseOperationDescriptor(name.empty() ? defaultNameForPath(path, resultClass) : std::move(name),
                                    resultClass, cacheSupported, connectionTimeout, maxRetriesCount,
                                    timeoutBetweenRetries),
      path_(std::move(path)) {}

std::optional<std::string> DQNEXASingleOperationDescriptor::URLPathForOperation(const DQNEXAAccessOperation&,
                                                                                platform::ErrorPtr*) const {
  return path_;
}

std::string DQNEXASingleOperationDescriptor::defaultNameForPath(const std::string& path,
                                                               const std::optional<DQNEXAResultClass>& resultClass) {
  return platform::format("DQNEXASingleOperation:%@-%@", path, resultClass ? resultClass->name : "Default");
}
