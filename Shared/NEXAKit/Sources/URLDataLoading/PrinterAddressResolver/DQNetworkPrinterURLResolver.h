#pragma once

#include <memory>

#include "DQHostNameResolver.h"
#include "DQPrinterURLResolver.h"

// Resolves a printer named by host name or address: its single access URL is
// "http://host/" on the first IPv4 address found, else on the first name.
// The URI's scheme, port and path are not used.
class DQNetworkPrinterURLResolver : public DQPrinterURLResolver {
 public:
  explicit DQNetworkPrinterURLResolver(platform::Url printerURI);

  // The lookup of the URI's host; none when the URI has no usable host.
  const std::shared_ptr<DQHostNameResolver>& resolver() const { return resolver_; }

  // False, without calling the block, while a lookup is in progress or
  // without a block; false after calling it with nothing when there is no
  // host to look up.
  bool startResolving(CompletionBlock block) override;
  void cancel() override;
  // Calls the block with the result made of the lookup's findings.
  void processCompletion(const CompletionBlock& block);

 private:
  const std::shared_ptr<DQHostNameResolver> resolver_;
};
