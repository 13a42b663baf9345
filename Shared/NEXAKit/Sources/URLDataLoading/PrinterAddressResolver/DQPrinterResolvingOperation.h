#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "DQPrinterURLResolver.h"
#include "DQRunLoopOperation.h"
#include "Errors/Error.h"
#include "IDQHTTPStreamProvider.h"
#include "Values/Dictionary.h"
#include "Values/Url.h"

class DQNEXAResolvingContext;

// Resolves a printer URI into access URLs and probes them in order for the
// NEXA discovery document; the first that answers finishes the session's
// resolving context with its URL and stream provider. Otherwise the context
// gets NEXA error 9 (inaccessible) or 7 (no NEXA, or no address). Runs on
// the session's queue thread and spins its run loop while it waits; a
// cancelled operation leaves the context unfinished. `error` and
// `resolutionInfo` may be read from any thread once it has finished.
class DQPrinterResolvingOperation : public DQRunLoopOperation {
 public:
  // Chooses the resolver for a URI; called on the operation's thread.
  using ResolverFactory =
      std::function<std::shared_ptr<DQPrinterURLResolver>(const std::optional<platform::Url>& printerURI)>;

  static constexpr const char* kDiscoveryTreePath = "DevMgmt/DiscoveryTree.xml";

  DQPrinterResolvingOperation(std::optional<platform::Url> printerURI, bool useProxy, bool validateCertificates,
                              std::shared_ptr<DQNEXAResolvingContext> resolvingContext,
                              ResolverFactory resolverFactory = nullptr);

  void performOperationTask() override;

  // The provider that reaches `url`: local files for a file URL, the USB
  // printer for a "nexausb" URL (in any letter case), the network for any
  // other URL or when the others cannot be made.
  static std::shared_ptr<IDQHTTPStreamProvider> streamProviderForURL(const platform::Url& url, bool useProxy,
                                                                     bool validateCertificates);

  const std::optional<platform::Url>& printerURI() const { return printerURI_; }
  const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext() const { return resolvingContext_; }
  bool useSystemProxyFlag() const { return useSystemProxyFlag_; }
  bool validateHTTPSCertificatesFlag() const { return validateHTTPSCertificatesFlag_; }
  platform::ErrorPtr error() const;
  std::optional<platform::Dictionary> resolutionInfo() const;

 private:
  // Runs the probe for one access URL inline; true when it succeeded, with
  // *inaccessible set when its error says a printer answered or refused.
  bool probe(const platform::Url& accessURL, bool* inaccessible);
  void fail(std::int64_t code);

  const bool useSystemProxyFlag_;
  const bool validateHTTPSCertificatesFlag_;
  const std::optional<platform::Url> printerURI_;
  const std::shared_ptr<DQNEXAResolvingContext> resolvingContext_;
  const ResolverFactory resolverFactory_;

  mutable std::mutex mutex_;  // guards error_ and resolutionInfo_; any thread
  platform::ErrorPtr error_;
  std::optional<platform::Dictionary> resolutionInfo_;
};
