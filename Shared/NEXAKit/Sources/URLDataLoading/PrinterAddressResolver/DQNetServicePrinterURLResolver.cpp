#include "DQNetServicePrinterURLResolver.h"

#include <algorithm>
#include <cctype>

#include "DQLog.h"
#include "DQPrinterURLParser.h"
#include "DQSocketTools.h"
#include "DQURL.h"

namespace {

std::shared_ptr<platform::NetService> serviceForURI(const platform::Url& uri,
                                                    std::shared_ptr<platform::ServiceResolver> serviceResolver) {
  std::string name, type, domain;
  if (!DQPrinterURLParser::parseBonjourURL(uri, &name, &type, &domain)) return nullptr;
  return DQNetServicePrinterURLResolver::makeNetService(domain, type, name, std::move(serviceResolver));
}

}  // namespace

DQNetServicePrinterURLResolver::DQNetServicePrinterURLResolver(
    platform::Url printerURI, std::shared_ptr<platform::ServiceResolver> serviceResolver, double timeout)
    : DQPrinterURLResolver(printerURI), netService_(serviceForURI(printerURI, std::move(serviceResolver))),
      timeout_(timeout) {}

DQNetServicePrinterURLResolver::~DQNetServicePrinterURLResolver() {
  if (netService_) netService_->stop();
}

std::shared_ptr<platform::NetService> DQNetServicePrinterURLResolver::makeNetService(
    const std::string& domain, const std::string& type, const std::string& name,
    std::shared_ptr<platform::ServiceResolver> serviceResolver) {
  return std::make_shared<platform::NetService>(domain, type, name, std::move(serviceResolver));
}

bool DQNetServicePrinterURLResolver::startResolving(CompletionBlock block) {
  if (completionBlock_ || !block) return false;
  if (!netService_) {
    block(std::nullopt);
    return false;
  }
  completionBlock_ = std::move(block);
  netService_->setDelegate(std::static_pointer_cast<DQNetServicePrinterURLResolver>(shared_from_this()));
  netService_->resolveWithTimeout(timeout_);
  return true;
}

void DQNetServicePrinterURLResolver::cancel() {
  if (netService_) {
    netService_->setDelegate({});
    netService_->stop();
  }
  completionBlock_ = nullptr;
}

void DQNetServicePrinterURLResolver::netServiceDidResolveAddress(platform::NetService&) {
  finish(processNetworkServiceInfo());
}

void DQNetServicePrinterURLResolver::netServiceDidNotResolve(platform::NetService&, const platform::ErrorPtr&) {
  finish(std::nullopt);
}

void DQNetServicePrinterURLResolver::finish(const std::optional<platform::Dictionary>& result) {
  auto keepAlive = shared_from_this();
  netService_->setDelegate({});
  netService_->stop();
  CompletionBlock block = std::move(completionBlock_);
  completionBlock_ = nullptr;
  if (block) block(result);
}

std::optional<platform::Dictionary> DQNetServicePrinterURLResolver::processNetworkServiceInfo() const {
  const auto& addresses = netService_->addresses();
  const std::string& hostName = netService_->hostName();
  const auto ipv6 = DQSocketTools::IPV6AddressStringsFromAddresses(addresses);
  const auto ipv4 = DQSocketTools::IPV4AddressStringFromAddresses(addresses);
  const long port = isLocalNetService() ? netService_->port() : -1;

  std::vector<std::string> numericHosts;
  if (ipv6) numericHosts.insert(numericHosts.end(), ipv6->begin(), ipv6->end());
  if (ipv4) numericHosts.push_back(*ipv4);
  std::vector<std::string> hosts;
  if (isURLHostName(hostName)) hosts.push_back(hostName);
  hosts.insert(hosts.end(), numericHosts.begin(), numericHosts.end());
  platform::Array urls;
  for (const auto& host : hosts) {
    if (auto url = DQURL::URLWithScheme("http", host, port, "/", std::nullopt)) urls.emplace_back(*url);
  }
  if (urls.empty()) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQNetServicePrinterURLResolver] - Can't obtain URLs for %@",
                                 netService_->name());
    return std::nullopt;
  }
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelInfo, "[DQNetServicePrinterURLResolver] - Got URLs: %@ for %@",
                               platform::Value(urls), netService_->name());
  platform::Dictionary result{{kAccessURLsKey, urls}};
  if (!hostName.empty()) result.set(kHostNamesKey, platform::Array{hostName});
  if (!numericHosts.empty()) result.set(kIPAddressesKey, platform::Array(numericHosts.begin(), numericHosts.end()));
  return result;
}

bool DQNetServicePrinterURLResolver::isURLHostName(std::string_view hostName) {
  if (hostName.empty()) return false;
  for (const char c : hostName) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || std::string_view(":@/?#[]%\\").find(c) != std::string_view::npos) return false;
  }
  return true;
}

std::optional<platform::Dictionary> DQNetServicePrinterURLResolver::processIPPUSBServiceInfo() const {
  const platform::Value* entry = platform::ResolvedService::txtEntry(netService_->TXTRecord(), "usb_SN");
  if (!entry) return std::nullopt;
  std::string serialNumber = entry->stringValue();
  if (const platform::Data* data = entry->data()) serialNumber.assign(data->begin(), data->end());
  return USBPrinterInfo(serialNumber);
}

bool DQNetServicePrinterURLResolver::isLocalNetService() const {
  std::string host = netService_->hostName();
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  return host == "localhost." || host == "localhost";
}
