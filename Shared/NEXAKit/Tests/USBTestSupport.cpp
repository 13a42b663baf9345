#include "USBTestSupport.h"

#include <glib.h>

#include "System/AppIdentity.h"
#include "TestSupport.h"

namespace testsupport {

void redirectUSBTrace() {
  static const bool redirected = [] {
    gchar* folder = g_dir_make_tmp("nexakit-usb-trace-XXXXXX", nullptr);
    if (folder) platform::AppIdentity::shared().setLogsDirectory(folder);
    g_free(folder);
    return true;
  }();
  (void)redirected;
}

bool spinUntil(const std::function<bool()>& done) { return platform::RunLoop::current().runUntil(done, kPatience); }

}  // namespace testsupport
