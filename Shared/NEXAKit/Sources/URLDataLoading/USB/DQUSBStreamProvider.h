#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DQUSBDevice.h"
#include "DQUSBDevicesSearcher.h"
#include "DQUSBDevicesSearcherDelegate.h"
#include "DQUSBHTTPStream.h"
#include "IDQHTTPStreamProvider.h"
#include "Usb/UsbBackend.h"
#include "Values/Url.h"

// The stream provider of "nexausb" URLs, whose host is the printer's USB
// serial number: resolving finds the attached printer of the maker with that
// serial number and the interfaces its device ID names for NEXA; every
// request then gets a USB stream on that printer. A resolution is reused
// while its device object stays connected; a stream's close disconnects it,
// so each exchange resolves afresh. Used on the thread that resolves.
class DQUSBStreamProvider : public IDQHTTPStreamProvider, public DQUSBDevicesSearcherDelegate {
 public:
  enum State : std::int64_t { kIdle = 0, kResolving = 1, kResolved = 2, kFailed = 3 };

  // The host comes from UsbBackend::shared() at construction unless one is
  // given; the device search and the streams' owed answers both use it.
  explicit DQUSBStreamProvider(platform::Url baseURL, std::shared_ptr<platform::UsbBackend> backend = nullptr);
  ~DQUSBStreamProvider() override { dropSearcher(); }

  // Searches on the calling thread's run loop; printers already attached
  // resolve inside the call.
  void startResolving() override;
  // Only while resolving: back to idle.
  void cancelResolving() override;
  bool isResolved() const override { return state_ == kResolved; }
  bool isResolvingCompleted() const override { return state_ == kResolved || state_ == kFailed; }
  platform::ErrorPtr resolvingError() const override { return resolvingError_; }
  bool isResolveCacheSupported() const { return device_ && device_->isConnected(); }
  // A stream on the resolved printer (one without a device before that).
  std::shared_ptr<IDQHTTPStream> streamForRequest(std::shared_ptr<platform::HttpMessage> request) override;

  // The waits of the streams made from now on.
  void setStreamTiming(const DQUSBHTTPStream::Timing& timing) { streamTiming_ = timing; }
  std::shared_ptr<DQUSBDevicesSearcher> makeDevicesSearcher() const;

  const platform::Url& baseURL() const { return baseURL_; }
  const std::string& expectedSerialNumber() const { return expectedSerialNumber_; }
  State state() const { return state_; }
  // Present while resolving only: the provider lets go of its searcher once
  // the printer resolved or failed, or the resolution was cancelled.
  const std::shared_ptr<DQUSBDevicesSearcher>& devicesSearcher() const { return devicesSearcher_; }
  const std::shared_ptr<DQUSBDevice>& device() const { return device_; }
  const DQDeviceIDParser::Locators& NEXAIS() const { return NEXAIS_; }

  // DQUSBDevicesSearcherDelegate, on the resolving thread.
  void USBDevicesSearcherDidDiscoverDevice(DQUSBDevicesSearcher& searcher,
                                           const std::shared_ptr<DQUSBDevice>& device) override;
  void USBDevicesSearcherDidLoseDeviceService(DQUSBDevicesSearcher&,
                                              const std::shared_ptr<platform::UsbDeviceRef>&) override {}

 private:
  void dropSearcher();

  const platform::Url baseURL_;
  const std::shared_ptr<platform::UsbBackend> backend_;
  // What the printers of that host still owe, shared with every exchange.
  const std::shared_ptr<DQUSBOwedResponses> owedResponses_;
  std::string expectedSerialNumber_;
  std::shared_ptr<DQUSBDevicesSearcher> devicesSearcher_;
  std::shared_ptr<DQUSBDevice> device_;
  State state_ = kIdle;
  platform::ErrorPtr resolvingError_;
  DQDeviceIDParser::Locators NEXAIS_;
  DQUSBHTTPStream::Timing streamTiming_;
};
