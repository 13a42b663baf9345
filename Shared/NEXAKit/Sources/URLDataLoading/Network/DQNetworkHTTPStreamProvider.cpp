#include "DQNetworkHTTPStreamProvider.h"

#include "DQNetworkHTTPStream.h"

std::shared_ptr<IDQHTTPStream> DQNetworkHTTPStreamProvider::streamForRequest(
    std::shared_ptr<platform::HttpMessage> request) {
  if (!request) return nullptr;
  return std::make_shared<DQNetworkHTTPStream>(std::move(request), useProxy_, validateCertificates_);
}
