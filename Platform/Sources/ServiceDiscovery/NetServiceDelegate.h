#pragma once

#include "Errors/Error.h"

namespace platform {

class NetService;

// What a NetService tells about its resolution, on the run loop of the thread
// that started it, once per resolution.
class NetServiceDelegate {
 public:
  virtual ~NetServiceDelegate() = default;
  // At least one address is known; host name, port, addresses and TXT record
  // can be read from the service.
  virtual void netServiceDidResolveAddress(NetService& service) = 0;
  // No address was found in time, or the back end failed.
  virtual void netServiceDidNotResolve(NetService& service, const ErrorPtr& error) = 0;
};

}  // namespace platform
