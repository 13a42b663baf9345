#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "Text/Format.h"

// Log levels of the printer-communication library, as syslog numbers them.
inline constexpr int kDQLogLevelError = 3;
inline constexpr int kDQLogLevelWarning = 4;
inline constexpr int kDQLogLevelInfo = 6;
inline constexpr int kDQLogLevelDebug = 7;

// The shared logger that the library writes through. The application installs
// it at run time; until then the library's lines go nowhere. It is called on
// the thread that logs and must be thread-safe.
using DQSharedLogger = std::function<void(int level, const std::string& message)>;

// Installs the shared logger (nullptr removes it); lines above `maxLevel` are
// not even formatted.
void com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger(DQSharedLogger logger, int maxLevel = kDQLogLevelDebug);
// Whether a line at `level` would reach a logger: a cheap check for callers.
bool com_zarn_NEXAKit_TolvekDQLogWouldLog(int level);
// Hands one formatted line to the shared logger; never fails visibly.
void com_zarn_NEXAKit_TolvekDQLogWrite(int level, const std::string& message);

// The library's logging entry point: a level, a format (with %@) and its
// arguments. The format is code, never data.
template <class... Args>
void com_zarn_NEXAKit_TolvekDQLog(int level, std::string_view format, const Args&... args) {
  if (!com_zarn_NEXAKit_TolvekDQLogWouldLog(level)) return;
  com_zarn_NEXAKit_TolvekDQLogWrite(level, platform::format(format, args...));
}
