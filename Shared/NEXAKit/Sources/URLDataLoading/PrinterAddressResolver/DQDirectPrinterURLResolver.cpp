#include "DQDirectPrinterURLResolver.h"

DQDirectPrinterURLResolver::DQDirectPrinterURLResolver(platform::Url printerURI, platform::Dictionary printerInfo)
    : DQPrinterURLResolver(std::move(printerURI)), printerInfo_(std::move(printerInfo)) {}

bool DQDirectPrinterURLResolver::startResolving(CompletionBlock block) {
  if (block) block(printerInfo_);
  return true;
}
