#pragma once

#include <glib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "Simulation/Usb/SimUsbBus.h"
#include "Simulation/Usb/VirtualPrinter.h"
#include "System/AppIdentity.h"

// The USB trace in a temporary folder, removed at the end.
struct BenchTraceFolder {
  BenchTraceFolder() {
    gchar* made = g_dir_make_tmp("usb-bench-XXXXXX", nullptr);
    folder = made ? made : "";
    g_free(made);
    platform::AppIdentity::shared().setLogsDirectory(folder);
  }
  ~BenchTraceFolder() {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }
  BenchTraceFolder(const BenchTraceFolder&) = delete;
  BenchTraceFolder& operator=(const BenchTraceFolder&) = delete;
  std::string folder;
};

// A printer on a simulated bus at address 2, port 1, with the USB trace in
// a temporary folder removed at the end.
struct BenchPrinter {
  explicit BenchPrinter(const platform::VirtualPrinter::Description& description) {
    model = std::make_shared<platform::VirtualPrinter>(description);
    service = bus->plug(model, platform::SimUsbBus::key(2, 1));
  }
  BenchTraceFolder trace;
  std::shared_ptr<platform::SimUsbBus> bus = std::make_shared<platform::SimUsbBus>();
  std::shared_ptr<platform::VirtualPrinter> model;
  std::shared_ptr<platform::UsbDeviceRef> service;
};
