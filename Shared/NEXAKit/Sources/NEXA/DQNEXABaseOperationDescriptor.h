#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "IDQNEXAOperationDescriptor.h"

// The descriptor's stored values; it has no path of its own (error 2).
// Immutable after construction; any thread.
class DQNEXABaseOperationDescriptor : public IDQNEXAOperationDescriptor {
 public:
  DQNEXABaseOperationDescriptor(std::string name, std::optional<DQNEXAResultClass> resultClass, bool cacheSupported,
                                double connectionTimeout, std::uint64_t maxRetriesCount,
                                double timeoutBetweenRetries);

  std::optional<std::string> URLPathForOperation(const DQNEXAAccessOperation& operation,
                                                 platform::ErrorPtr* error) const override;
  const std::string& operationName() const override { return operationName_; }
  std::optional<std::vector<std::string>> operationDependencies() const override { return std::nullopt; }
  const std::optional<DQNEXAResultClass>& resultClass() const override { return resultClass_; }
  bool isCacheSupported() const override { return cacheSupported_; }
  double connectionTimeout() const override { return connectionTimeout_; }
  std::uint64_t maxRetriesCount() const override { return maxRetriesCount_; }
  double timeoutBetweenRetries() const override { return timeoutBetweenRetries_; }

 private:
  const bool cacheSupported_;
  const std::string operationName_;
  const std::optional<DQNEXAResultClass> resultClass_;
  const double connectionTimeout_;
  const std::uint64_t maxRetriesCount_;
  const double timeoutBetweenRetries_;
};
