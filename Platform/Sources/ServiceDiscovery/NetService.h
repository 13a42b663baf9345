#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Dispatch/Timer.h"
#include "RunLoop/RunLoop.h"
#include "ServiceDiscovery/NetServiceDelegate.h"
#include "ServiceDiscovery/ServiceResolver.h"

namespace platform {

// One DNS-SD service instance to resolve (the platform's network service),
// on a back end: Avahi unless another is given. Made with std::make_shared
// and used on one thread; the delegate hears on that thread's run loop, never
// from inside the back end's callbacks and never after stop().
class NetService : public std::enable_shared_from_this<NetService> {
 public:
  static constexpr const char* kErrorDomain = "NSNetServicesErrorDomain";
  static constexpr std::int64_t kUnknownError = -72000;
  static constexpr std::int64_t kTimeoutError = -72007;

  NetService(std::string domain, std::string type, std::string name,
             std::shared_ptr<ServiceResolver> resolver = nullptr);
  ~NetService();
  NetService(const NetService&) = delete;
  NetService& operator=(const NetService&) = delete;

  const std::string& domain() const { return domain_; }
  const std::string& type() const { return type_; }
  const std::string& name() const { return name_; }

  std::shared_ptr<NetServiceDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<NetServiceDelegate> delegate) { delegate_ = std::move(delegate); }

  // Starts resolving on the current run loop (a running resolution is stopped
  // first). The delegate hears once: resolved when the back end finished with
  // an address, or when the time is up and an address is known; else not
  // resolved.
  void resolveWithTimeout(double timeout);
  // Ends a resolution; the delegate hears nothing more. Safe to repeat.
  void stop();

  // What the last resolution found; empty, -1 and none before.
  const std::string& hostName() const { return hostName_; }
  int port() const { return port_; }
  const std::vector<Data>& addresses() const { return addresses_; }
  const Dictionary& TXTRecord() const { return txtRecord_; }

 private:
  void finish(bool timedOut);

  const std::string domain_;
  const std::string type_;
  const std::string name_;
  const std::shared_ptr<ServiceResolver> resolver_;
  std::weak_ptr<NetServiceDelegate> delegate_;
  // Tells a queued report or a timer of an earlier resolution from the
  // running one.
  unsigned generation_ = 0;
  std::unique_ptr<ServiceResolver::Resolution> resolution_;
  std::shared_ptr<Timer> timer_;
  ResolvedService found_;
  std::string hostName_;
  int port_ = -1;
  std::vector<Data> addresses_;
  Dictionary txtRecord_;
};

}  // namespace platform
