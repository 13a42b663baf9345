#include "DQUSBStreamProvider.h"

#include "DQHTTPStreamError.h"
#include "DQPrinterURLParser.h"

DQUSBStreamProvider::DQUSBStreamProvider(platform::Url baseURL, std::shared_ptr<platform::UsbBackend> backend)
    : baseURL_(std::move(baseURL)),
      backend_(backend ? std::move(backend) : platform::UsbBackend::shared()),
      owedResponses_(DQUSBOwedResponses::forHost(backend_)) {}

std::shared_ptr<DQUSBDevicesSearcher> DQUSBStreamProvider::makeDevicesSearcher() const {
  return std::make_shared<DQUSBDevicesSearcher>(backend_);
}

void DQUSBStreamProvider::startResolving() {
  if (state_ == kResolving) return;
  if (state_ == kResolved && isResolveCacheSupported()) return;
  state_ = kResolving;
  device_.reset();
  NEXAIS_.clear();
  // The URL's host is decoded once already; the serial compares as it is.
  expectedSerialNumber_ = DQPrinterURLParser::serialNumberFromNEXAUSBURL(baseURL_);
  dropSearcher();
  devicesSearcher_ = makeDevicesSearcher();
  devicesSearcher_->setDelegate(this);
  resolvingError_.reset();
  auto searcher = devicesSearcher_;  // a printer found inside the start drops it
  platform::ErrorPtr error;
  if (!searcher->startInRunLoop(platform::RunLoop::current(), nullptr, &error)) {
    state_ = kFailed;
    resolvingError_ = DQHTTPStreamError::errorWithCode(DQHTTPStreamError::kOtherFailure, error);
    dropSearcher();
  }
}

void DQUSBStreamProvider::cancelResolving() {
  if (state_ != kResolving) return;
  state_ = kIdle;
  dropSearcher();
}

std::shared_ptr<IDQHTTPStream> DQUSBStreamProvider::streamForRequest(std::shared_ptr<platform::HttpMessage> request) {
  return std::make_shared<DQUSBHTTPStream>(device_, NEXAIS_, std::move(request), streamTiming_, owedResponses_);
}

void DQUSBStreamProvider::USBDevicesSearcherDidDiscoverDevice(DQUSBDevicesSearcher&,
                                                              const std::shared_ptr<DQUSBDevice>& device) {
  if (!device || device->serialNumber() != expectedSerialNumber_ || !device->isZarnDevice()) return;
  auto locators = device->deviceIDInfo().deviceIDReportedNEXAIS();
  if (locators && !locators->empty()) {
    device_ = device;
    NEXAIS_ = std::move(*locators);
    state_ = kResolved;
  } else {
    state_ = kFailed;
    resolvingError_ = DQHTTPStreamError::errorWithCode(DQHTTPStreamError::kNoNEXAInterfaces);
  }
  // The outcome stands until the device object is disconnected.
  dropSearcher();
}

void DQUSBStreamProvider::dropSearcher() {
  if (!devicesSearcher_) return;
  devicesSearcher_->setDelegate(nullptr);
  devicesSearcher_->stop();
  devicesSearcher_.reset();
}
