#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ALKLogger.h"
#include "Text/Format.h"
#include "Values/Object.h"

// Who writes a line: an object (its class name and address), or a class for
// its class operations (the name, and the address of the name).
class ALKLogSource {
 public:
  ALKLogSource(const platform::Object* object) : object_(object) {}
  static ALKLogSource forClass(const char* className) { return ALKLogSource(className); }

  std::string className() const;
  const void* address() const { return object_ ? static_cast<const void*>(object_) : className_; }

 private:
  explicit ALKLogSource(const char* className) : className_(className) {}
  const platform::Object* object_ = nullptr;
  const char* className_ = nullptr;
};

// A format and the source line it was written on (the caller's line: the
// default argument is evaluated where the conversion happens; clang 14 lacks
// std::source_location, both compilers have the builtin).
struct ALKLogFormat {
  template <class Text>
    requires std::convertible_to<const Text&, std::string_view>
  ALKLogFormat(const Text& text, int line = __builtin_LINE()) : text(text), line(line) {}

  std::string_view text;
  std::int64_t line;
};

// The tagged lines of the library: "<DEBUG> [ALKConfig(0x...)]:42 message",
// likewise <INFO>, <WARNING> and <ERROR>, each submitted at level 4 to the
// shared logger whatever its tag. The message is formatted only when the
// logger would write the line.
class ALKLog {
 public:
  enum class Tag : std::uint8_t { Debug, Info, Warning, Error };

  // The level every tagged line is submitted at.
  static constexpr std::uint64_t kTaggedLineLevel = kALKLogLevelVerbose;

  template <class... Args>
  static void debug(ALKLogSource source, ALKLogFormat format, const Args&... args) {
    write(Tag::Debug, source, format, args...);
  }
  template <class... Args>
  static void info(ALKLogSource source, ALKLogFormat format, const Args&... args) {
    write(Tag::Info, source, format, args...);
  }
  template <class... Args>
  static void warning(ALKLogSource source, ALKLogFormat format, const Args&... args) {
    write(Tag::Warning, source, format, args...);
  }
  template <class... Args>
  static void error(ALKLogSource source, ALKLogFormat format, const Args&... args) {
    write(Tag::Error, source, format, args...);
  }

  template <class... Args>
  static void write(Tag tag, ALKLogSource source, ALKLogFormat format, const Args&... args) {
    const auto logger = ALKLogger::sharedLogger();
    if (!logger->wouldLog(kTaggedLineLevel)) return;
    submit(*logger, tag, source, format.line, platform::format(format.text, args...));
  }

  // The line of a plain function, not of an object or a class:
  // "<DEBUG> [ALKUncaughtExceptionHandler]:42 message", at level 3.
  static constexpr std::uint64_t kFunctionLineLevel = 3;
  template <class... Args>
  static void debugInFunction(const char* function, ALKLogFormat format, const Args&... args) {
    const auto logger = ALKLogger::sharedLogger();
    if (!logger->wouldLog(kFunctionLineLevel)) return;
    submitInFunction(*logger, function, format.line, platform::format(format.text, args...));
  }

  ALKLog() = delete;

 private:
  static void submitInFunction(IALKLogger& logger, const char* function, std::int64_t line, const std::string& message);
  static void submit(IALKLogger& logger, Tag tag, const ALKLogSource& source, std::int64_t line,
                     const std::string& message);
};
