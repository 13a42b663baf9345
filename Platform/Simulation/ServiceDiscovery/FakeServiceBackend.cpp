#include "Simulation/ServiceDiscovery/FakeServiceBackend.h"

#include <utility>

#include "RunLoop/RunLoop.h"

namespace platform {
namespace {

// Its answer is queued on the run loop; the queued block checks that the
// resolution still runs.
class FakeResolution : public ServiceResolver::Resolution {
 public:
  ~FakeResolution() override { *running_ = false; }
  std::shared_ptr<bool> running_ = std::make_shared<bool>(true);
};

}  // namespace

void FakeServiceBackend::addService(const std::string& name, const std::string& type, const std::string& domain,
                                     std::optional<ResolvedService> service) {
  services_[{name, type, domain}] = std::move(service);
}

std::unique_ptr<ServiceResolver::Resolution> FakeServiceBackend::resolve(const std::string& name,
                                                                         const std::string& type,
                                                                         const std::string& domain,
                                                                         Handler handler) {
  ++resolutions_;
  auto resolution = std::make_unique<FakeResolution>();
  auto entry = services_.find({name, type, domain});
  if (entry != services_.end()) {
    RunLoop::current().perform([running = resolution->running_, handler = std::move(handler),
                                found = entry->second.value_or(ResolvedService{})] {
      if (*running) handler(found, true);
    });
  }
  return resolution;
}

}  // namespace platform
