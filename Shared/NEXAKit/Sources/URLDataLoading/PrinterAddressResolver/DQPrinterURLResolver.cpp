#include "DQPrinterURLResolver.h"

#include "DQDirectPrinterURLResolver.h"
#include "DQNetServicePrinterURLResolver.h"
#include "DQNetworkPrinterURLResolver.h"
#include "DQPrinterURLParser.h"
#include "DQURL.h"

DQPrinterURLResolver::DQPrinterURLResolver(std::optional<platform::Url> printerURI)
    : printerURI_(std::move(printerURI)) {}

std::shared_ptr<DQPrinterURLResolver> DQPrinterURLResolver::resolverWithPrinterURI(
    const std::optional<platform::Url>& printerURI) {
  if (!printerURI) return nullptr;
  const platform::Url& uri = *printerURI;
  if (uri.isFileUrl()) {
    return std::make_shared<DQDirectPrinterURLResolver>(
        uri, platform::Dictionary{{kConnectionTypeKey, kConnectionTypeFile}, {kAccessURLsKey, platform::Array{uri}}});
  }
  if (uri.hasScheme("nexausb")) {
    return std::make_shared<DQDirectPrinterURLResolver>(uri, platform::Dictionary{
                                                                 {kConnectionTypeKey, kConnectionTypeUSB},
                                                                 {kAccessURLsKey, platform::Array{uri}},
                                                                 {kUSBSerialNumberKey, uri.host()},
                                                             });
  }
  if (uri.hasScheme("usb")) {
    const auto serialNumber = DQPrinterURLParser::serialNumberFromUSBURL(uri);
    if (!serialNumber) return nullptr;
    auto info = USBPrinterInfo(*serialNumber);
    if (!info) return nullptr;
    return std::make_shared<DQDirectPrinterURLResolver>(uri, std::move(*info));
  }
  if (uri.hasScheme("dnssd") || uri.hasScheme("ippusb")) return std::make_shared<DQNetServicePrinterURLResolver>(uri);
  return std::make_shared<DQNetworkPrinterURLResolver>(uri);
}

bool DQPrinterURLResolver::isUSBPrinter() const {
  return printerURI_ &&
         (printerURI_->hasScheme("usb") || printerURI_->hasScheme("ippusb") || printerURI_->hasScheme("nexausb"));
}

bool DQPrinterURLResolver::startResolving(CompletionBlock) { return false; }

std::optional<platform::Dictionary> DQPrinterURLResolver::USBPrinterInfo(const std::string& serialNumber) {
  const auto url = DQURL::URLWithScheme("nexausb", serialNumber, "/");
  if (!url) return std::nullopt;
  return platform::Dictionary{
      {kConnectionTypeKey, kConnectionTypeUSB},
      {kAccessURLsKey, platform::Array{*url}},
      {kUSBSerialNumberKey, serialNumber},
  };
}
