#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Values/Dictionary.h"
#include "Values/Url.h"

// Turns a printer URI into the candidate base URLs of the printer (the access
// URLs) and what was learnt on the way. The base chooses a resolver by the
// URI's scheme and resolves nothing itself. Resolvers are made with
// std::make_shared and used on one thread: they work on its run loop and
// report there, once per start, with the result or nothing.
class DQPrinterURLResolver : public std::enable_shared_from_this<DQPrinterURLResolver> {
 public:
  // Keys of a resolution result.
  static constexpr const char* kAccessURLsKey = "AccessURLs";
  static constexpr const char* kHostNamesKey = "HostNames";
  static constexpr const char* kIPAddressesKey = "IPAddresses";
  static constexpr const char* kConnectionTypeKey = "ConnectionType";
  static constexpr const char* kUSBSerialNumberKey = "USBSerialNumber";
  // Values of "ConnectionType".
  static constexpr int kConnectionTypeUSB = 1;
  static constexpr int kConnectionTypeFile = 3;

  // Called on the run loop of the thread that started the resolution, with
  // the result, or none when the printer could not be resolved.
  using CompletionBlock = std::function<void(const std::optional<platform::Dictionary>& result)>;

  // The resolver for the URI's scheme (compared in lower case): a direct one
  // for file, "nexausb" and "usb" URIs, a DNS-SD one for "dnssd" and "ippusb",
  // a host-name one for any other. None without a URI, or for a "usb" URI
  // without a serial number.
  static std::shared_ptr<DQPrinterURLResolver> resolverWithPrinterURI(const std::optional<platform::Url>& printerURI);

  explicit DQPrinterURLResolver(std::optional<platform::Url> printerURI);
  virtual ~DQPrinterURLResolver() = default;
  DQPrinterURLResolver(const DQPrinterURLResolver&) = delete;
  DQPrinterURLResolver& operator=(const DQPrinterURLResolver&) = delete;

  const std::optional<platform::Url>& printerURI() const { return printerURI_; }
  const std::vector<std::string>& targetSchemes() const { return targetSchemes_; }
  void setTargetSchemes(std::vector<std::string> schemes) { targetSchemes_ = std::move(schemes); }
  // Whether the scheme is "usb", "ippusb" or "nexausb".
  bool isUSBPrinter() const;

  // True when the block will be called. The base answers false and does
  // nothing.
  virtual bool startResolving(CompletionBlock block);
  // Stops a running resolution; its block is not called. The base does
  // nothing.
  virtual void cancel() {}

 protected:
  // The result that names a USB printer by its serial number: its "nexausb"
  // URL, none when no URL can be made of the serial number.
  static std::optional<platform::Dictionary> USBPrinterInfo(const std::string& serialNumber);

  CompletionBlock completionBlock_;

 private:
  const std::optional<platform::Url> printerURI_;
  std::vector<std::string> targetSchemes_;
};
