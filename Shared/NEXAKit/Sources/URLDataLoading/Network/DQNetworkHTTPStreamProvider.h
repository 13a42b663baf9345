#pragma once

#include <memory>

#include "DQResolvedHTTPStreamProvider.h"

// Makes network streams (http and https URLs).
class DQNetworkHTTPStreamProvider : public DQResolvedHTTPStreamProvider {
 public:
  // `useProxy`: follow the system's proxy settings, or use no proxy at all.
  // `validateCertificates`: verify the peer's certificate and host name.
  DQNetworkHTTPStreamProvider(bool useProxy, bool validateCertificates)
      : useProxy_(useProxy), validateCertificates_(validateCertificates) {}
  static std::shared_ptr<DQNetworkHTTPStreamProvider> initUsingProxy(bool useProxy, bool validateCertificates) {
    return std::make_shared<DQNetworkHTTPStreamProvider>(useProxy, validateCertificates);
  }

  std::shared_ptr<IDQHTTPStream> streamForRequest(std::shared_ptr<platform::HttpMessage> request) override;

  bool usesProxy() const { return useProxy_; }
  bool validatesCertificates() const { return validateCertificates_; }

 private:
  const bool useProxy_;
  const bool validateCertificates_;
};
