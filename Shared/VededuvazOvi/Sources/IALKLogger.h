#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Text/Format.h"

// Log levels of the analytics library.
inline constexpr std::uint64_t kALKLogLevelNone = 0;
inline constexpr std::uint64_t kALKLogLevelError = 1;
inline constexpr std::uint64_t kALKLogLevelWarning = 2;
inline constexpr std::uint64_t kALKLogLevelInfo = 3;
inline constexpr std::uint64_t kALKLogLevelVerbose = 4;

// What the analytics library writes its lines to. Any thread may call any
// method; an implementation must be thread-safe.
class IALKLogger {
 public:
  virtual ~IALKLogger() = default;

  // The message as it is ("%" included), at level 4, 3, 2 or 1.
  virtual void logVerbose(std::string_view message) = 0;
  virtual void logInfo(std::string_view message) = 0;
  virtual void logWarning(std::string_view message) = 0;
  virtual void logError(std::string_view message) = 0;

  // One line from a format (with %@) and its arguments at `level`. The
  // arguments refer to the caller's values: the text is made before the call
  // returns. An empty format view (no data) is ignored.
  virtual void logMessageWithFormat(std::string_view format, std::uint64_t level,
                                    std::span<const platform::FormatArg> arguments) = 0;
  template <class... Args>
  void logMessageWithFormat(std::string_view format, std::uint64_t level, const Args&... args) {
    const platform::FormatArg list[] = {platform::FormatArg(args)..., platform::FormatArg(0)};
    logMessageWithFormat(format, level, std::span<const platform::FormatArg>(list, sizeof...(Args)));
  }

  // One shared indentation, raised and lowered by two spaces; prefixed to
  // every line.
  virtual void increaseLogIndent() = 0;
  virtual void decreaseLogIndent() = 0;
  // Returns when every line submitted before it has been written.
  virtual void flush() = 0;

  virtual std::uint64_t logLevel() const = 0;
  virtual void setLogLevel(std::uint64_t level) = 0;

  // Optional: the file the logger also writes to ("" when none).
  virtual std::string filePath() const { return {}; }
  virtual void setFilePath(std::string) {}

  // Optional: whether a line at `level` would be written at all, so that
  // callers can skip making its text. Must be cheap; a logger that cannot
  // tell answers true.
  virtual bool wouldLog(std::uint64_t) const { return true; }
};
