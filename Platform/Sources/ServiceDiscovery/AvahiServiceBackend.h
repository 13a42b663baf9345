#pragma once

#include "ServiceDiscovery/ServiceResolver.h"

namespace platform {

// Resolves services through the Avahi daemon over the system D-Bus, with a
// client of its own per resolution whose callbacks run on the run loop of the
// thread that started it (Avahi's GLib poll adapter on its context). An Avahi
// resolver reports one address, so one runs per address family; the
// resolution finishes when both answered. No daemon, or a daemon that goes
// away, finishes it with what was found (nothing, at first).
class AvahiServiceBackend : public ServiceResolver {
 public:
  std::unique_ptr<Resolution> resolve(const std::string& name, const std::string& type, const std::string& domain,
                                      Handler handler) override;
};

}  // namespace platform
