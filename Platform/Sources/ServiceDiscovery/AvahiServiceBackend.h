#pragma once

#include "ServiceDiscovery/ServiceResolver.h"

namespace platform {

// Resolves services through the Avahi daemon over the system D-Bus, on the
// process's one client (AvahiConnection), whose thread alone calls Avahi: the
// answers are posted to the run loop of the thread that started the
// resolution, and a daemon that stops answering never holds that thread. An
// Avahi resolver reports one address, so one runs per address family; the
// resolution finishes when both answered, with the addresses of the instance
// the first answer described. No daemon, or a daemon that goes away, finishes
// it with what was found (nothing, at first).
class AvahiServiceBackend : public ServiceResolver {
 public:
  std::unique_ptr<Resolution> resolve(const std::string& name, const std::string& type, const std::string& domain,
                                      Handler handler) override;
};

}  // namespace platform
