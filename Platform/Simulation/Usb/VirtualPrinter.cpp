#include "Simulation/Usb/VirtualPrinter.h"

#include <algorithm>
#include <atomic>

namespace platform {

// The host side of one open of a virtual printer: forwards to the printer
// with its own identity, and ends what it left behind when destroyed.
class VirtualPrinterHandle : public UsbDeviceHandle {
 public:
  VirtualPrinterHandle(std::shared_ptr<VirtualPrinter> printer, std::uint64_t id)
      : printer_(std::move(printer)), id_(id) {}
  ~VirtualPrinterHandle() override { printer_->closed(id_); }

  UsbReturn control(const UsbControlSetup& setup, std::span<std::uint8_t> data, std::size_t& done,
                    UsbMillis) override {
    return printer_->control(id_, setup, data, done);
  }
  UsbReturn configuration(std::uint8_t& value) override {
    if (!printer_->isConnected()) return usbreturn::kNoDevice;
    value = printer_->description().configurationValue;
    return usbreturn::kSuccess;
  }
  UsbReturn claimInterface(std::uint8_t number) override { return printer_->claim(id_, number); }
  UsbReturn releaseInterface(std::uint8_t number) override { return printer_->release(id_, number); }
  UsbReturn alternateSetting(std::uint8_t number, std::uint8_t& alternate) override {
    return printer_->alternate(id_, number, alternate);
  }
  UsbReturn setAlternateSetting(std::uint8_t number, std::uint8_t alternate) override {
    return printer_->setAlternate(id_, number, alternate);
  }
  bool hostStalled(std::uint8_t endpoint) const override { return printer_->hostStalled(endpoint); }
  UsbReturn clearHalt(std::uint8_t endpoint) override { return printer_->clearHalt(endpoint); }
  using UsbDeviceHandle::submitBulk;
  UsbReturn submitBulk(std::uint8_t endpoint, std::vector<std::uint8_t> buffer, UsbMillis timeout,
                       RawCompletion completion) override {
    return printer_->submit(id_, endpoint, std::move(buffer), timeout, std::move(completion));
  }
  void abortEndpoint(std::uint8_t endpoint) override { printer_->abort(id_, endpoint); }

 private:
  const std::shared_ptr<VirtualPrinter> printer_;
  const std::uint64_t id_;
};

namespace {

void put16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

// UTF-8 to a string descriptor: the header and UTF-16LE code units.
std::vector<std::uint8_t> stringDescriptor(const std::string& text) {
  std::vector<std::uint8_t> bytes{0, 3};
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::uint32_t code = lead;
    std::size_t length = 1;
    if (lead >= 0xF0) code = lead & 0x07, length = 4;
    else if (lead >= 0xE0) code = lead & 0x0F, length = 3;
    else if (lead >= 0xC0) code = lead & 0x1F, length = 2;
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
      code = (code << 6) | (static_cast<std::uint8_t>(text[i + k]) & 0x3F);
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      put16(bytes, static_cast<std::uint16_t>(0xD800 | (code >> 10)));
      put16(bytes, static_cast<std::uint16_t>(0xDC00 | (code & 0x3FF)));
    } else {
      put16(bytes, static_cast<std::uint16_t>(code));
    }
  }
  bytes[0] = static_cast<std::uint8_t>(std::min<std::size_t>(bytes.size(), 255));
  return bytes;
}

std::atomic<std::uint64_t> nextHandle{1};

}  // namespace

std::vector<std::uint8_t> VirtualPrinter::deviceIDAnswer(std::string_view text, LengthField field) {
  const std::size_t length = text.size() + (field == LengthField::CountsItself ? 2 : 0);
  std::vector<std::uint8_t> bytes(2 + text.size());
  bytes[0] = static_cast<std::uint8_t>(length >> 8);
  bytes[1] = static_cast<std::uint8_t>(length & 0xFF);
  std::copy(text.begin(), text.end(), bytes.begin() + 2);
  return bytes;
}

VirtualPrinter::Description VirtualPrinter::standardDescription(std::uint16_t vendorId, std::uint16_t maxPacket) {
  Description description;
  description.vendorId = vendorId;
  description.productId = 0x0100;
  description.strings = {{1, "Zarn"}, {2, "Virtual Printer 100"}, {3, "SN0001"}, {4, "1.0,1.1,2.0"},
                         {5, "urn:uuid:0c6f-77"}};
  // An IPP-over-USB printer answers the class descriptor: IPP versions in
  // string 4, its UUID in string 5.
  description.deviceInfoDescriptor = std::vector<std::uint8_t>{10, 0x21, 1, 0, 0, 2, 0x12, 0x00, 4, 5};
  const std::vector<Endpoint> bulk{{0x01, 2, maxPacket}, {0x81, 2, maxPacket}};
  description.interfaces = {{0, {{0, 7, 1, 2, 0, bulk}, {1, 7, 1, 4, 0, bulk}}, false}};
  return description;
}

VirtualPrinter::VirtualPrinter(Description description) : description_(std::move(description)) {
  for (const auto& interface : description_.interfaces)
    interfaces_[interface.number].kernelDriver = interface.kernelDriver;
  timer_ = std::thread([this] { timerLoop(); });
}

VirtualPrinter::~VirtualPrinter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  timer_.join();
}

std::vector<std::uint8_t> VirtualPrinter::deviceDescriptor() const {
  std::vector<std::uint8_t> bytes{18, 1};
  put16(bytes, 0x0200);
  bytes.insert(bytes.end(), {0, 0, 0, 64});
  put16(bytes, description_.vendorId);
  put16(bytes, description_.productId);
  put16(bytes, 0x0100);
  bytes.insert(bytes.end(), {description_.manufacturerIndex, description_.productIndex,
                             description_.serialNumberIndex, 1});
  return bytes;
}

std::vector<std::uint8_t> VirtualPrinter::configurationDescriptor() const {
  std::vector<std::uint8_t> bytes{9, 2, 0, 0, static_cast<std::uint8_t>(description_.interfaces.size()),
                                  description_.configurationValue, 0, 0xC0, 50};
  for (const auto& interface : description_.interfaces) {
    for (const auto& alternate : interface.alternates) {
      bytes.insert(bytes.end(), {9, 4, interface.number, alternate.alternate,
                                 static_cast<std::uint8_t>(alternate.endpoints.size()), alternate.interfaceClass,
                                 alternate.subclass, alternate.protocol, alternate.stringIndex});
      for (const auto& endpoint : alternate.endpoints) {
        bytes.insert(bytes.end(), {7, 5, endpoint.address, endpoint.attributes});
        put16(bytes, endpoint.maxPacketSize);
        bytes.push_back(0);
      }
    }
  }
  for (std::size_t left = description_.configurationPadding; left >= 2;) {
    const auto length = static_cast<std::uint8_t>(std::min<std::size_t>(left, 255));
    bytes.push_back(length);
    bytes.push_back(0xFF);  // vendor-specific
    bytes.insert(bytes.end(), length - 2u, 0);
    left -= length;
  }
  bytes[2] = static_cast<std::uint8_t>(bytes.size() & 0xFF);
  bytes[3] = static_cast<std::uint8_t>(bytes.size() >> 8);
  return bytes;
}

void VirtualPrinter::holdByOtherClient(std::uint8_t interface, Clock::time_point until) {
  std::lock_guard lock(mutex_);
  interfaces_[interface].otherClientUntil = until;
}

void VirtualPrinter::stallEndpoint(std::uint8_t endpoint, int times) {
  std::lock_guard lock(mutex_);
  stalls_[endpoint] = times;
}

void VirtualPrinter::failNextWrites(int times, UsbReturn result, std::size_t taken) {
  std::lock_guard lock(mutex_);
  failingWrites_ = times;
  failingResult_ = result;
  failingTaken_ = taken;
}

void VirtualPrinter::setDripDelay(Clock::duration delay, std::size_t bytes) {
  std::lock_guard lock(mutex_);
  drip_ = delay;
  dripBytes_ = bytes;
}

void VirtualPrinter::setWriteDelay(Clock::duration delay) {
  std::lock_guard lock(mutex_);
  writeDelay_ = delay;
}

void VirtualPrinter::setRequestFilter(std::function<UsbReturn(const UsbControlSetup&)> filter) {
  std::lock_guard lock(mutex_);
  requestFilter_ = std::move(filter);
}

void VirtualPrinter::setOutputHandler(std::uint8_t interface,
                                      std::function<void(std::span<const std::uint8_t>)> handler) {
  std::lock_guard lock(mutex_);
  interfaces_[interface].output = std::move(handler);
}

void VirtualPrinter::pushInput(std::uint8_t interface, std::span<const std::uint8_t> bytes) {
  std::vector<Finished> finished;
  {
    std::lock_guard lock(mutex_);
    auto& input = interfaces_[interface].input;
    input.insert(input.end(), bytes.begin(), bytes.end());
    settle(Clock::now(), finished);
    changed_.notify_all();
  }
  run(finished);
}

void VirtualPrinter::disconnect() {
  std::vector<Finished> finished;
  {
    std::lock_guard lock(mutex_);
    connected_ = false;
    settle(Clock::now(), finished);
  }
  run(finished);
}

bool VirtualPrinter::isConnected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

bool VirtualPrinter::kernelDriverBound(std::uint8_t interface) const {
  std::lock_guard lock(mutex_);
  const auto* found = state(interface);
  return found && found->kernelDriver;
}

bool VirtualPrinter::isClaimed(std::uint8_t interface) const {
  std::lock_guard lock(mutex_);
  const auto* found = state(interface);
  return found && found->claimedBy != 0;
}

std::uint8_t VirtualPrinter::currentAlternate(std::uint8_t interface) const {
  std::lock_guard lock(mutex_);
  const auto* found = state(interface);
  return found ? found->alternate : 0;
}

int VirtualPrinter::setInterfaceRequests() const {
  std::lock_guard lock(mutex_);
  return setInterfaceRequests_;
}

std::size_t VirtualPrinter::bytesWritten(std::uint8_t interface) const {
  std::lock_guard lock(mutex_);
  const auto* found = state(interface);
  return found ? found->written : 0;
}

UsbMillis VirtualPrinter::lastTimeout(std::uint8_t endpoint) const {
  std::lock_guard lock(mutex_);
  auto found = timeouts_.find(endpoint);
  return found == timeouts_.end() ? UsbMillis(0) : found->second;
}

std::shared_ptr<UsbDeviceHandle> VirtualPrinter::open() {
  return std::make_shared<VirtualPrinterHandle>(shared_from_this(), nextHandle++);
}

UsbReturn VirtualPrinter::control(std::uint64_t owner, const UsbControlSetup& setup, std::span<std::uint8_t> data,
                                  std::size_t& done) {
  done = 0;
  std::unique_lock lock(mutex_);
  if (!connected_) return usbreturn::kNoDevice;
  if (requestFilter_) {
    auto filter = requestFilter_;
    lock.unlock();
    if (const UsbReturn result = filter(setup); result != usbreturn::kSuccess) return result;
    lock.lock();
    if (!connected_) return usbreturn::kNoDevice;
  }
  std::vector<std::uint8_t> answer;
  if (setup.requestType == 0x80 && setup.request == 6) {
    const std::uint8_t index = setup.value & 0xFF;
    switch (setup.value >> 8) {
      case 1:
        answer = description_.rawDeviceDescriptor ? *description_.rawDeviceDescriptor : deviceDescriptor();
        break;
      case 2:
        if (index != 0) return usbreturn::kPipeStalled;
        answer = configurationDescriptor();
        break;
      case 3:
        if (index == 0) {
          answer = {4, 3, 0x09, 0x04};
        } else if (auto raw = description_.rawStrings.find(index); raw != description_.rawStrings.end()) {
          answer = raw->second;
        } else if (auto text = description_.strings.find(index); text != description_.strings.end()) {
          answer = stringDescriptor(text->second);
        } else {
          return usbreturn::kPipeStalled;
        }
        break;
      case 0x21:
        if (!description_.deviceInfoDescriptor) return usbreturn::kPipeStalled;
        answer = *description_.deviceInfoDescriptor;
        break;
      default:
        return usbreturn::kPipeStalled;
    }
  } else if (setup.requestType == 0xA1 && setup.request == 0) {
    auto found = description_.deviceIDs.find({static_cast<std::uint8_t>(setup.index >> 8),
                                              static_cast<std::uint8_t>(setup.index & 0xFF)});
    if (found == description_.deviceIDs.end()) return usbreturn::kPipeStalled;
    answer = found->second;
  } else if (setup.requestType == 0x81 && setup.request == 0x0A) {
    lock.unlock();
    std::uint8_t value = 0;
    const UsbReturn result = alternate(owner, static_cast<std::uint8_t>(setup.index), value);
    if (result == usbreturn::kSuccess && !data.empty()) data[0] = value, done = 1;
    return result;
  } else {
    return usbreturn::kPipeStalled;
  }
  done = std::min(answer.size(), data.size());
  std::copy_n(answer.begin(), done, data.begin());
  return usbreturn::kSuccess;
}

UsbReturn VirtualPrinter::claim(std::uint64_t owner, std::uint8_t interface) {
  std::lock_guard lock(mutex_);
  if (!connected_) return usbreturn::kNoDevice;
  auto* found = state(interface);
  if (!found) return usbreturn::kNotFound;
  if (found->claimedBy == owner) return usbreturn::kSuccess;
  if (found->claimedBy != 0) return usbreturn::kExclusiveAccess;
  if (found->otherClientUntil && Clock::now() < *found->otherClientUntil) return usbreturn::kExclusiveAccess;
  found->claimedBy = owner;
  found->kernelDriver = false;  // detached while claimed
  return usbreturn::kSuccess;
}

UsbReturn VirtualPrinter::release(std::uint64_t owner, std::uint8_t interface) {
  std::vector<Finished> finished;
  UsbReturn result = usbreturn::kSuccess;
  {
    std::lock_guard lock(mutex_);
    auto* found = state(interface);
    if (!found || found->claimedBy != owner) return usbreturn::kNotFound;
    if (!connected_) result = usbreturn::kNoDevice;
    found->claimedBy = 0;
    for (const auto& described : description_.interfaces)
      if (described.number == interface) found->kernelDriver = described.kernelDriver;
    settle(Clock::now(), finished);
  }
  run(finished);
  return result;
}

UsbReturn VirtualPrinter::alternate(std::uint64_t owner, std::uint8_t interface, std::uint8_t& alternate) {
  std::lock_guard lock(mutex_);
  if (!connected_) return usbreturn::kNoDevice;
  const auto* found = state(interface);
  if (!found || found->claimedBy != owner) return usbreturn::kNotFound;
  alternate = found->alternate;
  return usbreturn::kSuccess;
}

UsbReturn VirtualPrinter::setAlternate(std::uint64_t owner, std::uint8_t interface, std::uint8_t alternate) {
  std::lock_guard lock(mutex_);
  if (!connected_) return usbreturn::kNoDevice;
  auto* found = state(interface);
  if (!found || found->claimedBy != owner) return usbreturn::kNotFound;
  if (!alternateOf(interface, alternate)) return usbreturn::kPipeStalled;
  ++setInterfaceRequests_;
  found->alternate = alternate;
  stalled_.clear();
  return usbreturn::kSuccess;
}

bool VirtualPrinter::hostStalled(std::uint8_t endpoint) const {
  std::lock_guard lock(mutex_);
  auto found = stalled_.find(endpoint);
  return found != stalled_.end() && found->second;
}

UsbReturn VirtualPrinter::clearHalt(std::uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  if (!connected_) return usbreturn::kNoDevice;
  stalled_[endpoint] = false;
  return usbreturn::kSuccess;
}

UsbReturn VirtualPrinter::submit(std::uint64_t owner, std::uint8_t endpoint, std::vector<std::uint8_t> buffer,
                                 UsbMillis timeout, UsbDeviceHandle::RawCompletion completion) {
  std::vector<Finished> finished;
  {
    std::lock_guard lock(mutex_);
    if (!connected_) return usbreturn::kNoDevice;
    const auto interface = liveInterface(owner, endpoint);
    if (!interface) return usbreturn::kNotFound;
    timeouts_[endpoint] = timeout;
    const bool input = UsbDeviceHandle::isInput(endpoint);
    auto* target = state(*interface);
    const auto now = Clock::now();
    if (auto& stalls = stalls_[endpoint]; stalls > 0) {
      --stalls;
      stalled_[endpoint] = true;
      finished.push_back({std::move(completion), usbreturn::kPipeStalled, {}});
    } else if (!input && failingWrites_ > 0) {
      --failingWrites_;
      buffer.resize(std::min(buffer.size(), failingTaken_));
      target->written += buffer.size();
      finished.push_back({std::move(completion), failingResult_, std::move(buffer), target->output});
    } else if (input || writeDelay_.count() > 0) {
      Pending pending{nextId_++, owner, endpoint, *interface, buffer.size(), std::nullopt,
                      now + (input ? drip_ : writeDelay_), std::move(completion), {}};
      if (!input) pending.written = std::move(buffer);
      if (timeout.count() > 0) pending.deadline = now + timeout;
      pending_.push_back(std::move(pending));
      settle(now, finished);
      // The timer thread has to learn of a transfer only while it waits.
      if (!pending_.empty()) changed_.notify_all();
    } else {
      target->written += buffer.size();
      finished.push_back({std::move(completion), usbreturn::kSuccess, std::move(buffer), target->output});
    }
  }
  run(finished);
  return usbreturn::kSuccess;
}

void VirtualPrinter::abort(std::uint64_t owner, std::optional<std::uint8_t> endpoint) {
  std::vector<Finished> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->owner == owner && (!endpoint || it->endpoint == *endpoint)) {
        finished.push_back({std::move(it->completion), usbreturn::kAborted, {}});
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
  run(finished);
}

void VirtualPrinter::closed(std::uint64_t owner) {
  abort(owner, std::nullopt);
  std::lock_guard lock(mutex_);
  for (auto& [number, interface] : interfaces_) {
    if (interface.claimedBy != owner) continue;
    interface.claimedBy = 0;
    for (const auto& described : description_.interfaces)
      if (described.number == number) interface.kernelDriver = described.kernelDriver;
  }
}

std::optional<std::uint8_t> VirtualPrinter::liveInterface(std::uint64_t owner, std::uint8_t endpoint) const {
  for (const auto& [number, interface] : interfaces_) {
    if (interface.claimedBy != owner) continue;
    const Alternate* alternate = alternateOf(number, interface.alternate);
    if (!alternate) continue;
    for (const auto& candidate : alternate->endpoints)
      if (candidate.address == endpoint) return number;
  }
  return std::nullopt;
}

const VirtualPrinter::Alternate* VirtualPrinter::alternateOf(std::uint8_t interface, std::uint8_t alternate) const {
  for (const auto& described : description_.interfaces) {
    if (described.number != interface) continue;
    for (const auto& candidate : described.alternates)
      if (candidate.alternate == alternate) return &candidate;
  }
  return nullptr;
}

VirtualPrinter::InterfaceState* VirtualPrinter::state(std::uint8_t interface) {
  auto found = interfaces_.find(interface);
  return found == interfaces_.end() ? nullptr : &found->second;
}

const VirtualPrinter::InterfaceState* VirtualPrinter::state(std::uint8_t interface) const {
  auto found = interfaces_.find(interface);
  return found == interfaces_.end() ? nullptr : &found->second;
}

std::uint16_t VirtualPrinter::packetSize(std::uint8_t endpoint) const {
  for (const auto& described : description_.interfaces)
    for (const auto& alternate : described.alternates)
      for (const auto& candidate : alternate.endpoints)
        if (candidate.address == endpoint) return candidate.maxPacketSize;
  return 512;
}

void VirtualPrinter::settle(Clock::time_point now, std::vector<Finished>& finished) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    auto* interface = state(it->interface);
    const bool live = interface && interface->claimedBy == it->owner;
    const bool input = UsbDeviceHandle::isInput(it->endpoint);
    UsbReturn result = usbreturn::kSuccess;
    std::vector<std::uint8_t> bytes;
    std::function<void(std::span<const std::uint8_t>)> output;
    bool ends = true;
    if (!connected_) {
      result = usbreturn::kNoDevice;
    } else if (!live) {
      result = usbreturn::kAborted;
    } else if (!input && now >= it->readyAt) {
      bytes = std::move(it->written);
      interface->written += bytes.size();
      output = interface->output;
    } else if (input && !interface->input.empty() && now >= it->readyAt) {
      std::size_t count = std::min(it->size, interface->input.size());
      if (drip_.count() > 0) count = std::min<std::size_t>(count, dripBytes_ ? dripBytes_ : packetSize(it->endpoint));
      bytes.assign(interface->input.begin(), interface->input.begin() + static_cast<std::ptrdiff_t>(count));
      interface->input.erase(interface->input.begin(), interface->input.begin() + static_cast<std::ptrdiff_t>(count));
    } else if (it->deadline && now >= *it->deadline) {
      result = usbreturn::kTimeout;
    } else {
      ends = false;
    }
    if (ends) {
      finished.push_back({std::move(it->completion), result, std::move(bytes), std::move(output)});
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
}

void VirtualPrinter::run(std::vector<Finished>& finished) {
  for (auto& one : finished) {
    // The bytes reach the printer before the writer hears they were sent.
    if (one.output && !one.bytes.empty()) one.output(one.bytes);
    one.completion(one.result, std::move(one.bytes));
  }
  finished.clear();
}

void VirtualPrinter::timerLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    std::vector<Finished> finished;
    settle(Clock::now(), finished);
    if (!finished.empty()) {
      lock.unlock();
      run(finished);
      lock.lock();
      continue;
    }
    std::optional<Clock::time_point> next;
    for (const auto& pending : pending_) {
      const auto* interface = state(pending.interface);
      const bool ready = !UsbDeviceHandle::isInput(pending.endpoint) || (interface && !interface->input.empty());
      if (ready) next = next ? std::min(*next, pending.readyAt) : pending.readyAt;
      if (pending.deadline) next = next ? std::min(*next, *pending.deadline) : *pending.deadline;
    }
    if (next) changed_.wait_until(lock, *next);
    else changed_.wait(lock);
  }
  // Whatever is still outstanding ends with the printer.
  connected_ = false;
  std::vector<Finished> finished;
  settle(Clock::now(), finished);
  lock.unlock();
  run(finished);
}

}  // namespace platform
