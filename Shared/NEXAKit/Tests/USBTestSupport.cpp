#include "USBTestSupport.h"

#include <glib.h>

#include <cstdlib>
#include <filesystem>
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

}  // namespace testsupport
