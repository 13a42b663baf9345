#pragma once

#include <memory>

#include "DQResolvedHTTPStreamProvider.h"

// Makes streams that answer file URLs from the local file system.
class DQLocalFileHTTPStreamProvider : public DQResolvedHTTPStreamProvider {
 public:
  static std::shared_ptr<DQLocalFileHTTPStreamProvider> make() {
    return std::make_shared<DQLocalFileHTTPStreamProvider>();
  }

  std::shared_ptr<IDQHTTPStream> streamForRequest(std::shared_ptr<platform::HttpMessage> request) override;
};
