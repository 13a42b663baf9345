#pragma once

#include <memory>

#include "IDQHTTPStreamProvider.h"

// Makes streams that answer file URLs from the local file system. It needs no
// search: it is resolved from the start.
class DQLocalFileHTTPStreamProvider : public IDQHTTPStreamProvider {
 public:
  static std::shared_ptr<DQLocalFileHTTPStreamProvider> make() {
    return std::make_shared<DQLocalFileHTTPStreamProvider>();
  }

  void startResolving() override {}
  bool isResolvingCompleted() const override { return true; }
  bool isResolved() const override { return true; }
  platform::ErrorPtr resolvingError() const override { return nullptr; }
  void cancelResolving() override {}
  std::shared_ptr<IDQHTTPStream> streamForRequest(std::shared_ptr<platform::HttpMessage> request) override;
};
