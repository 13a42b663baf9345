#include "UsbfsAdapter.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "RunLoop/ThreadSanitizer.h"
#include "Text/Format.h"

using platform::UsbReturn;
namespace usbreturn = platform::usbreturn;

namespace {

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (auto byte : bytes) text += platform::format("%02x", byte);
  return text;
}

int urbStatus(UsbReturn result) {
  switch (result) {
    case usbreturn::kSuccess: return 0;
    case usbreturn::kPipeStalled: return -EPIPE;
    case usbreturn::kNoDevice: return -ENODEV;
    case usbreturn::kAborted: return -ENOENT;
    case usbreturn::kTimeout: return -ETIMEDOUT;
    default: return -EIO;
  }
}

int errnoOf(UsbReturn result) {
  switch (result) {
    case usbreturn::kExclusiveAccess: return EBUSY;
    case usbreturn::kNoDevice: return ENODEV;
    case usbreturn::kNotFound: return ENOENT;
    case usbreturn::kPipeStalled: return EPIPE;
    default: return EIO;
  }
}

}  // namespace

UsbfsAdapter::UsbfsAdapter(UMockdevTestbed* testbed, std::shared_ptr<platform::VirtualPrinter> printer, int address,
                           int port)
    : testbed_(testbed), printer_(std::move(printer)), address_(address), port_(port) {
  handle_ = printer_->open();
}

UsbfsAdapter::~UsbfsAdapter() {
  if (handler_) g_object_unref(handler_);
  std::lock_guard lock(mutex_);
  for (auto& urb : flying_) umockdev_ioctl_data_unref(urb.data);
  for (auto* urb : reapable_) umockdev_ioctl_data_unref(urb);
}

std::string UsbfsAdapter::hubRecord() {
  return "P: /devices/usb1\nN: bus/usb/001/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\n"
         "E: DEVNUM=001\nE: DEVNAME=/dev/bus/usb/001/001\nA: busnum=1\\n\nA: devnum=1\\n\n"
         "A: bConfigurationValue=1\\n\nA: speed=480\\n\n"
         "H: descriptors=12010002090001406b1d020006050302010109021900010100e000090400000109000000"
         "0705810304000c\n";
}

void UsbfsAdapter::plug() {
  const std::string node = platform::format("/dev/bus/usb/001/%03d", address_);
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect_after(handler_, "handle-ioctl", G_CALLBACK(&UsbfsAdapter::handleIoctl), this);
  umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler_, nullptr);
  auto descriptors = printer_->deviceDescriptor();
  const auto configuration = printer_->configurationDescriptor();
  descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
  const std::string record = platform::format(
      "P: /devices/usb1/1-%d\nN: bus/usb/001/%03d\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\n"
      "E: DEVNUM=%03d\nE: DEVNAME=%@\nA: busnum=1\\n\nA: devnum=%d\\n\nA: bConfigurationValue=%d\\n\n"
      "A: speed=480\\n\nH: descriptors=%@\n",
      port_, address_, address_, node, address_, printer_->description().configurationValue, hex(descriptors));
  umockdev_testbed_add_from_string(testbed_, record.c_str(), nullptr);
}

void UsbfsAdapter::unplug() {
  printer_->disconnect();
  umockdev_testbed_uevent(testbed_, platform::format("/sys/devices/usb1/1-%d", port_).c_str(), "remove");
}

int UsbfsAdapter::handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, UsbfsAdapter* self) {
  return self->handle(client) ? TRUE : FALSE;
}

void UsbfsAdapter::finish(UMockdevIoctlData* urbData, UsbReturn result, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
  const bool input = (urb->endpoint & 0x80) != 0;
  // The client lives in this process: an IN buffer (never resolved, so
  // never written back stale) is filled in place.
  const std::size_t count = std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(urb->buffer_length));
  // The back end hands the buffer over at the submission and takes it back at
  // the completion, through umockdev's channel, which ThreadSanitizer cannot
  // see.
  PLATFORM_TSAN_ACQUIRE(urb->buffer);
  if (input && count > 0) std::memcpy(urb->buffer, bytes.data(), count);
  PLATFORM_TSAN_RELEASE(urb->buffer);
  urb->actual_length = static_cast<int>(count);
  urb->status = urbStatus(result);
  std::erase_if(flying_, [&](const Urb& one) { return one.data == urbData; });
  reapable_.push_back(urbData);
}

bool UsbfsAdapter::handle(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto complete = [&](UsbReturn result) {
    if (result == usbreturn::kSuccess) umockdev_ioctl_client_complete(client, 0, 0);
    else umockdev_ioctl_client_complete(client, -1, errnoOf(result));
    return true;
  };
  auto value = [&](std::size_t size) { return umockdev_ioctl_data_resolve(arg, 0, size, nullptr); };
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      g_autoptr(UMockdevIoctlData) caps = value(sizeof(guint32));
      *reinterpret_cast<guint32*>(caps->data) = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_CONTINUATION |
                                                USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
      return complete(usbreturn::kSuccess);
    }
    case USBDEVFS_CLAIMINTERFACE: {
      g_autoptr(UMockdevIoctlData) number = value(sizeof(unsigned));
      const auto interface = static_cast<std::uint8_t>(*reinterpret_cast<unsigned*>(number->data));
      // A bound kernel driver keeps a plain claim out, as usbfs does.
      if (printer_->kernelDriverBound(interface)) return complete(usbreturn::kExclusiveAccess);
      return complete(handle_->claimInterface(interface));
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      g_autoptr(UMockdevIoctlData) claim = value(sizeof(usbdevfs_disconnect_claim));
      return complete(handle_->claimInterface(
          static_cast<std::uint8_t>(reinterpret_cast<usbdevfs_disconnect_claim*>(claim->data)->interface)));
    }
    case USBDEVFS_RELEASEINTERFACE: {
      g_autoptr(UMockdevIoctlData) number = value(sizeof(unsigned));
      return complete(handle_->releaseInterface(static_cast<std::uint8_t>(*reinterpret_cast<unsigned*>(number->data))));
    }
    case USBDEVFS_GETDRIVER: {
      g_autoptr(UMockdevIoctlData) driver = value(sizeof(usbdevfs_getdriver));
      auto* asked = reinterpret_cast<usbdevfs_getdriver*>(driver->data);
      if (!printer_->kernelDriverBound(static_cast<std::uint8_t>(asked->interface))) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
      }
      std::strcpy(asked->driver, "usblp");
      return complete(usbreturn::kSuccess);
    }
    case USBDEVFS_IOCTL:  // the kernel driver is bound again by the release itself
      return complete(usbreturn::kSuccess);
    case USBDEVFS_SETINTERFACE: {
      g_autoptr(UMockdevIoctlData) setting = value(sizeof(usbdevfs_setinterface));
      auto* asked = reinterpret_cast<usbdevfs_setinterface*>(setting->data);
      return complete(handle_->setAlternateSetting(static_cast<std::uint8_t>(asked->interface),
                                                   static_cast<std::uint8_t>(asked->altsetting)));
    }
    case USBDEVFS_CLEAR_HALT: {
      g_autoptr(UMockdevIoctlData) endpoint = value(sizeof(unsigned));
      return complete(handle_->clearHalt(static_cast<std::uint8_t>(*reinterpret_cast<unsigned*>(endpoint->data))));
    }
    case USBDEVFS_SUBMITURB: {
      UMockdevIoctlData* urbData = value(sizeof(usbdevfs_urb));  // kept until reaped
      auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
      if (!printer_->isConnected()) {
        umockdev_ioctl_data_unref(urbData);
        return complete(usbreturn::kNoDevice);
      }
      const bool input = (urb->endpoint & 0x80) != 0;
      if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->buffer_length >= 8) {
        g_autoptr(UMockdevIoctlData) buffer = umockdev_ioctl_data_resolve(
            urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
        const std::uint8_t* setup = buffer->data;
        std::vector<std::uint8_t> data(buffer->data + 8, buffer->data + urb->buffer_length);
        std::size_t done = 0;
        const UsbReturn result = handle_->control(
            {setup[0], setup[1], static_cast<std::uint16_t>(setup[2] | setup[3] << 8),
             static_cast<std::uint16_t>(setup[4] | setup[5] << 8)},
            data, done, platform::UsbMillis(1000));
        if ((setup[0] & 0x80) && done > 0) umockdev_ioctl_data_update(buffer, 8, data.data(), static_cast<gint>(done));
        std::lock_guard lock(mutex_);
        urb->actual_length = static_cast<int>(done);
        urb->status = urbStatus(result);
        reapable_.push_back(urbData);
        return complete(usbreturn::kSuccess);
      }
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(urb->buffer_length));
      if (!input) {
        g_autoptr(UMockdevIoctlData) buffer = umockdev_ioctl_data_resolve(
            urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
        std::copy(buffer->data, buffer->data + urb->buffer_length, bytes.begin());
      }
      {
        std::lock_guard lock(mutex_);
        flying_.push_back({urbData, urb->endpoint});
      }
      const UsbReturn started = handle_->submitBulk(
          urb->endpoint, std::move(bytes), platform::UsbMillis(0),
          [this, urbData](UsbReturn result, std::vector<std::uint8_t> moved) { finish(urbData, result, moved); });
      if (started != usbreturn::kSuccess) {
        std::lock_guard lock(mutex_);
        std::erase_if(flying_, [&](const Urb& one) { return one.data == urbData; });
        umockdev_ioctl_data_unref(urbData);
      }
      return complete(started);
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      std::lock_guard lock(mutex_);
      if (reapable_.empty()) {
        umockdev_ioctl_client_complete(client, -1, printer_->isConnected() ? EAGAIN : ENODEV);
        return true;
      }
      UMockdevIoctlData* urbData = reapable_.front();
      reapable_.erase(reapable_.begin());
      g_autoptr(UMockdevIoctlData) pointer = value(sizeof(gpointer));
      umockdev_ioctl_data_set_ptr(pointer, 0, urbData);
      umockdev_ioctl_data_unref(urbData);
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_DISCARDURB: {
      const auto address = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
      std::optional<std::uint8_t> endpoint;
      {
        std::lock_guard lock(mutex_);
        for (const auto& urb : flying_)
          if (urb.data->client_addr == address) endpoint = urb.endpoint;
      }
      if (!endpoint) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
      }
      handle_->abortEndpoint(*endpoint);
      return complete(usbreturn::kSuccess);
    }
    default:
      return false;
  }
}
