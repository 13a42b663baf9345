#include "USBTestSupport.h"

#include <glib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "System/AppIdentity.h"
#include "TestSupport.h"

namespace testsupport {

void redirectUSBTrace() {
  static const bool redirected = [] {
    gchar* folder = g_dir_make_tmp("nexakit-usb-trace-XXXXXX", nullptr);
    if (!folder) return false;
    static const std::string made = folder;
    g_free(folder);
    platform::AppIdentity::shared().setLogsDirectory(made);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made, ignored);
    });
    return true;
  }();
  (void)redirected;
}

bool spinUntil(const std::function<bool()>& done) { return platform::RunLoop::current().runUntil(done, kPatience); }

void performAfterPacket(platform::VirtualPrinter& printer, int count, std::function<void()> block) {
  auto packets = std::make_shared<std::atomic<int>>(0);  // counted on the printer's threads
  printer.setOutputHandler(0, [packets, count, block = std::move(block), here = platform::RunLoop::current()](
                                  std::span<const std::uint8_t>) {
    if (++*packets == count) here.perform(block);
  });
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace testsupport
