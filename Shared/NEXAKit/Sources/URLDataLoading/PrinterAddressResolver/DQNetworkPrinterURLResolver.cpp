#include "DQNetworkPrinterURLResolver.h"

#include "DQSocketTools.h"
#include "DQURL.h"

DQNetworkPrinterURLResolver::DQNetworkPrinterURLResolver(platform::Url printerURI)
    : DQPrinterURLResolver(printerURI), resolver_(DQHostNameResolver::resolverWithHost(printerURI.host())) {}

bool DQNetworkPrinterURLResolver::startResolving(CompletionBlock block) {
  if (!block || (resolver_ && resolver_->isInProgress())) return false;
  if (!resolver_) {
    block(std::nullopt);
    return false;
  }
  if (resolver_->isCompleted()) {
    processCompletion(block);
    return true;
  }
  std::weak_ptr<DQPrinterURLResolver> weak = weak_from_this();
  resolver_->startResolving([weak, block](DQHostNameResolver&) {
    if (auto self = std::static_pointer_cast<DQNetworkPrinterURLResolver>(weak.lock())) self->processCompletion(block);
  });
  return true;
}

void DQNetworkPrinterURLResolver::cancel() {
  if (resolver_) resolver_->cancel();
}

void DQNetworkPrinterURLResolver::processCompletion(const CompletionBlock& block) {
  const auto& addresses = resolver_->IPAddresses();
  const auto& names = resolver_->hostNames();
  std::optional<std::string> host;
  if (addresses) host = DQSocketTools::IPV4AddressStringFromAddresses(*addresses);
  if (!host && names && !names->empty()) host = names->front();
  const auto url = host ? DQURL::URLWithScheme("http", *host, "/") : std::nullopt;
  if (!url) {
    block(std::nullopt);
    return;
  }
  platform::Dictionary result{{kAccessURLsKey, platform::Array{*url}}};
  if (names && !names->empty()) result.set(kHostNamesKey, platform::Array(names->begin(), names->end()));
  if (addresses) {
    if (auto strings = DQSocketTools::stringsFromAddresses(*addresses)) {
      result.set(kIPAddressesKey, platform::Array(strings->begin(), strings->end()));
    }
  }
  block(result);
}
