#include "DQNEXAPutDataOperationDescriptor.h"

#include <atomic>

#include "Text/Format.h"

DQNEXAPutDataOperationDescriptor::DQNEXAPutDataOperationDescriptor(std::string name, std::string path,
                                                                   platform::Value data, double connectionTimeout,
                                                                   std::uint64_t maxRetriesCount,
                                                                   double timeoutBetweenRetries)
    : DQNEXABaseOperationDescriptor(name.empty() ? generateNameForPath(path) : std::move(name), std::nullopt, false,
                                    connectionTimeout, maxRetriesCount, timeoutBetweenRetries),
      path_(std::move(path)),
      data_(std::move(data)) {}

std::optional<std::string> DQNEXAPutDataOperationDescriptor::URLPathForOperation(const DQNEXAAccessOperation&,
                                                                                 platform::ErrorPtr*) const {
  return path_;
}

platform::Value DQNEXAPutDataOperationDescriptor::dataToPutForOperation(const DQNEXAAccessOperation&,
                                                                        platform::ErrorPtr*) const {
  return data_;
}

std::string DQNEXAPutDataOperationDescriptor::generateNameForPath(const std::string& path) {
  static std::atomic<std::uint64_t> counter{0};
  const std::uint64_t number = counter.fetch_add(1) + 1;
  return platform::format("DQNEXAPutDataOperation:%@-%lu", path, static_cast<unsigned long>(number));
}
