#include "ServiceDiscovery/NetService.h"

#include <utility>

#include "ServiceDiscovery/AvahiServiceBackend.h"

namespace platform {

NetService::NetService(std::string domain, std::string type, std::string name,
                       std::shared_ptr<ServiceResolver> resolver)
    : domain_(std::move(domain)),
      type_(std::move(type)),
      name_(std::move(name)),
      resolver_(resolver ? std::move(resolver) : ServiceResolver::avahi()) {}

NetService::~NetService() { stop(); }

void NetService::resolveWithTimeout(double timeout) {
  stop();
  const unsigned generation = ++generation_;
  std::weak_ptr<NetService> weak = weak_from_this();
  const RunLoop runLoop = RunLoop::current();
  timer_ = Timer::scheduled(runLoop, timeout, false, [weak, generation](Timer&) {
    auto self = weak.lock();
    if (self && self->generation_ == generation) self->finish(true);
  });
  // The back end calls from inside its own callbacks, where the resolution
  // may not be destroyed: the report waits for a turn of its own.
  resolution_ = resolver_->resolve(name_, type_, domain_,
                                   [weak, generation, runLoop](const ResolvedService& found, bool finished) {
                                     auto self = weak.lock();
                                     if (!self || self->generation_ != generation) return;
                                     self->found_ = found;
                                     if (!finished) return;
                                     runLoop.perform([weak, generation] {
                                       auto self = weak.lock();
                                       if (self && self->generation_ == generation) self->finish(false);
                                     });
                                   });
}

void NetService::stop() {
  ++generation_;
  if (timer_) timer_->invalidate();
  timer_.reset();
  resolution_.reset();
}

void NetService::finish(bool timedOut) {
  ResolvedService found = std::move(found_);
  found_ = {};
  stop();
  if (found.addresses.empty()) {
    if (auto delegate = delegate_.lock()) {
      delegate->netServiceDidNotResolve(*this, Error::make(kErrorDomain, timedOut ? kTimeoutError : kUnknownError));
    }
    return;
  }
  hostName_ = std::move(found.hostName);
  port_ = found.port;
  addresses_ = std::move(found.addresses);
  txtRecord_ = std::move(found.txtRecord);
  if (auto delegate = delegate_.lock()) delegate->netServiceDidResolveAddress(*this);
}

}  // namespace platform
