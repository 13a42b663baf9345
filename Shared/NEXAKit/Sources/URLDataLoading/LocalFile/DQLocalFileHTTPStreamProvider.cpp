#include "DQLocalFileHTTPStreamProvider.h"

#include "DQLocalFileHTTPStream.h"

std::shared_ptr<IDQHTTPStream> DQLocalFileHTTPStreamProvider::streamForRequest(
    std::shared_ptr<platform::HttpMessage> request) {
  if (!request) return nullptr;
  return std::make_shared<DQLocalFileHTTPStream>(std::move(request));
}
