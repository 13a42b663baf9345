#include "DQUSBOwedResponses.h"

#include <algorithm>
#include <utility>

std::shared_ptr<DQUSBOwedResponses> DQUSBOwedResponses::forHost(const std::shared_ptr<platform::UsbBackend>& host) {
  struct Tables {
    std::mutex mutex;  // guards byHost; any thread
    std::vector<std::pair<std::weak_ptr<platform::UsbBackend>, std::shared_ptr<DQUSBOwedResponses>>> byHost;
  };
  static auto* tables = new Tables;  // lives until the process ends
  std::lock_guard lock(tables->mutex);
  std::erase_if(tables->byHost, [](const auto& one) { return one.first.expired(); });
  for (const auto& [owner, table] : tables->byHost) {
    if (owner.lock() == host) return table;
  }
  auto table = std::make_shared<DQUSBOwedResponses>();
  tables->byHost.emplace_back(host, table);
  return table;
}

std::optional<DQUSBOwedResponses::Place> DQUSBOwedResponses::placeOf(const DQUSBInterface& interface,
                                                                    const std::optional<std::string>& serial) {
  if (!interface.service()) return std::nullopt;
  return Place{interface.service()->key(), interface.interfaceNumber(), serial};
}

std::shared_ptr<DQHTTPResponseRest> DQUSBOwedResponses::take(const DQUSBInterface& interface,
                                                             const std::optional<std::string>& serial) {
  const auto place = placeOf(interface, serial);
  std::lock_guard lock(mutex_);
  const auto found =
      std::find_if(entries_.begin(), entries_.end(), [&](const auto& entry) { return entry.first == place; });
  if (found == entries_.end()) return nullptr;
  auto rest = std::move(found->second);
  entries_.erase(found);
  return rest;
}

void DQUSBOwedResponses::leave(const DQUSBInterface& interface, const std::optional<std::string>& serial,
                               std::shared_ptr<DQHTTPResponseRest> rest) {
  const auto place = placeOf(interface, serial);
  if (!rest || !place) return;
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const auto& entry) { return entry.first == *place; });
  entries_.emplace_back(*place, std::move(rest));
}
