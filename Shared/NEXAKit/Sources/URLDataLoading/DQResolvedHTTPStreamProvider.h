#pragma once

#include "IDQHTTPStreamProvider.h"

// A provider that needs no search: it is resolved from the start, and the
// resolving operations do nothing.
class DQResolvedHTTPStreamProvider : public IDQHTTPStreamProvider {
 public:
  void startResolving() override {}
  bool isResolvingCompleted() const override { return true; }
  bool isResolved() const override { return true; }
  platform::ErrorPtr resolvingError() const override { return nullptr; }
  void cancelResolving() override {}
};
