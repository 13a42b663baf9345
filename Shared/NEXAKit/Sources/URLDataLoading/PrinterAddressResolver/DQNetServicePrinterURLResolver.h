#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "DQPrinterURLResolver.h"
#include "ServiceDiscovery/NetService.h"

// Resolves a printer advertised by DNS-SD, named by a "dnssd" (or "ippusb")
// URI whose host is "name.type.domain". Its access URLs are the service's host
// name (unless a URL's host cannot carry it as it is), then every IPv6
// address, then the IPv4 address; they carry the service's port only when the
// service runs on this machine.
class DQNetServicePrinterURLResolver : public DQPrinterURLResolver, public platform::NetServiceDelegate {
 public:
  static constexpr double kResolveTimeout = 30.0;

  // `serviceResolver` is the DNS-SD back end (nullptr: Avahi); `timeout` how
  // long to wait for the service's addresses, in seconds.
  explicit DQNetServicePrinterURLResolver(platform::Url printerURI,
                                          std::shared_ptr<platform::ServiceResolver> serviceResolver = nullptr,
                                          double timeout = kResolveTimeout);
  ~DQNetServicePrinterURLResolver() override;

  // None when the URI names no service.
  const std::shared_ptr<platform::NetService>& netService() const { return netService_; }

  // False while a resolution runs or without a block; false after calling the
  // block with nothing when the URI names no service.
  bool startResolving(CompletionBlock block) override;
  void cancel() override;

  void netServiceDidResolveAddress(platform::NetService& service) override;
  void netServiceDidNotResolve(platform::NetService& service, const platform::ErrorPtr& error) override;

  // The result made of the resolved service; none when it gave no URL.
  std::optional<platform::Dictionary> processNetworkServiceInfo() const;
  // The result naming the USB printer behind an IPP-over-USB service by the
  // serial number in its TXT record ("usb_SN", in any case); none without one.
  std::optional<platform::Dictionary> processIPPUSBServiceInfo() const;
  // Whether the service's host is this machine ("localhost", in any case,
  // with or without the final dot).
  bool isLocalNetService() const;
  // Whether a URL's host carries the host name exactly: false for an empty
  // name and for one holding any of ':', '@', '/', '?', '#', '[', ']', '%',
  // '\' (an escaped label) or a control character, which would make the URL
  // name another host, or none.
  static bool isURLHostName(std::string_view hostName);

  static std::shared_ptr<platform::NetService> makeNetService(
      const std::string& domain, const std::string& type, const std::string& name,
      std::shared_ptr<platform::ServiceResolver> serviceResolver = nullptr);

 private:
  void finish(const std::optional<platform::Dictionary>& result);

  const std::shared_ptr<platform::NetService> netService_;
  const double timeout_;
};
