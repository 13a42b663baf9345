#include "UmockdevBus.h"

#include <umockdev.h>

UmockdevBus::UmockdevBus(const platform::VirtualPrinter::Description& printer)
    : testbed_(umockdev_testbed_new()), printer_(std::make_shared<platform::VirtualPrinter>(printer)) {
  umockdev_testbed_add_from_string(testbed_, UsbfsAdapter::hubRecord().c_str(), nullptr);
  adapter_ = std::make_unique<UsbfsAdapter>(testbed_, printer_, 2, 4);
  adapter_->plug();
}
