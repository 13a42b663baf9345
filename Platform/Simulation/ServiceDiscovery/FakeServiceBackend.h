#pragma once

#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "ServiceDiscovery/ServiceResolver.h"

namespace platform {

// A DNS-SD back end in the process, for tests: it answers from a table of
// services in a later turn of the run loop that asked. A service it does not
// know is never answered, as a daemon that hears nothing.
class FakeServiceBackend : public ServiceResolver {
 public:
  // The service answers with `service`, or fails to resolve for none. Call on
  // the thread that resolves.
  void addService(const std::string& name, const std::string& type, const std::string& domain,
                  std::optional<ResolvedService> service);
  // How many resolutions were started.
  int resolutionCount() const { return resolutions_; }

  std::unique_ptr<Resolution> resolve(const std::string& name, const std::string& type, const std::string& domain,
                                      Handler handler) override;

 private:
  std::map<std::tuple<std::string, std::string, std::string>, std::optional<ResolvedService>> services_;
  int resolutions_ = 0;
};

}  // namespace platform
