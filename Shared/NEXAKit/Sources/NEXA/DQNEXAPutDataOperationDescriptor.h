#pragma once

#include "DQNEXABaseOperationDescriptor.h"
#include "Values/Value.h"

// An upload of fixed data to a fixed path; no result class, no caching.
class DQNEXAPutDataOperationDescriptor : public DQNEXABaseOperationDescriptor,
                                         public IDQPutDataNEXAOperationDescriptor {
 public:
  // An empty name becomes generateNameForPath(path).
  DQNEXAPutDataOperationDescriptor(std::string name, std::string path, platform::Value data,
                                   double connectionTimeout, std::uint64_t maxRetriesCount,
                                   double timeoutBetweenRetries);

  std::optional<std::string> URLPathForOperation(const DQNEXAAccessOperation& operation,
                                                 platform::ErrorPtr* error) const override;
  platform::Value dataToPutForOperation(const DQNEXAAccessOperation& operation,
                                        platform::ErrorPtr* error) const override;
  const std::string& path() const { return path_; }
  const platform::Value& data() const { return data_; }

  // "DQNEXAPutDataOperation:<path>-<n>", n from a process-wide atomic counter
  // (the first name ends in 1). Any thread.
  static std::string generateNameForPath(const std::string& path);

 private:
  const std::string path_;
  const platform::Value data_;
};
