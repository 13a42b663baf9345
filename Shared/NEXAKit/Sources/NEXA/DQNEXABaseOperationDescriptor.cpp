#include "DQNEXABaseOperationDescriptor.h"

#include "DQNEXAError.h"

using namespace platform;

DQNEXABaseOperationDescriptor::DQNEXABaseOperationDescriptor(std::string name,
                                                             std::optional<DQNEXAResultClass> resultClass,
                                                             bool cacheSupported, double connectionTimeout,
                                                             std::uint64_t maxRetriesCount,
                                                             double timeoutBetweenRetries)
    : cacheSupported_(cacheSupported),
      operationName_(std::move(name)),
      resultClass_(std::move(resultClass)),
      connectionTimeout_(connectionTimeout),
      maxRetriesCount_(maxRetriesCount),
      timeoutBetweenRetries_(timeoutBetweenRetries) {}

std::optional<std::string> DQNEXABaseOperationDescriptor::URLPathForOperation(const DQNEXAAccessOperation&,
                                                                              ErrorPtr* error) const {
  if (error) *error = DQNEXAError::error(DQNEXAError::kNoPath);
  return std::nullopt;
}
