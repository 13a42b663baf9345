#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Errors/Error.h"

namespace platform {

// Who the application is and where it keeps its files. Every value can be
// overridden (tests do); an empty string given to a setter removes the
// override. Thread-safe: one mutex guards the overrides and is held only to
// read or write them.
class AppIdentity {
 public:
  // The single instance; it lives until the process ends.
  static AppIdentity& shared();

  AppIdentity(const AppIdentity&) = delete;
  AppIdentity& operator=(const AppIdentity&) = delete;

  // The program name (GLib's program name, else /proc/self/comm) by default.
  std::string bundleIdentifier() const;
  void setBundleIdentifier(std::string identifier);
  // The program name by default.
  std::string name() const;
  void setName(std::string name);
  // "0" by default.
  std::string shortVersion() const;
  void setShortVersion(std::string version);
  // Whether the application gave its name or version (they are not
  // defaults).
  bool hasName() const { return !overridden(&AppIdentity::name_).empty(); }
  bool hasShortVersion() const { return !overridden(&AppIdentity::shortVersion_).empty(); }
  bool hasBundleIdentifier() const { return !overridden(&AppIdentity::bundleIdentifier_).empty(); }
  // The path of the running program (/proc/self/exe) by default.
  std::string executablePath() const;
  void setExecutablePath(std::string path);

  // The user's locale, "de_DE" for LANG=de_DE.UTF-8: the first non-empty of
  // $LC_ALL, $LC_MESSAGES and $LANG, read on every call; nullopt for the
  // "C" and "POSIX" locales and when none is set.
  std::optional<std::string> localeIdentifier() const;
  void setLocaleIdentifier(std::string identifier);
  // A locale name without its ".codeset" and "@modifier"; nullopt for "",
  // "C" and "POSIX".
  static std::optional<std::string> localeIdentifierFromName(std::string_view name);

  // The directories are read from the environment on every call:
  // $XDG_CACHE_HOME, else ~/.cache.
  std::string cachesDirectory() const;
  // A relative path is taken against the working directory of this call, so
  // that a later change of directory moves nothing. When that directory
  // cannot be read (it was removed), the path is refused: the folder stays as
  // it was and the error (POSIX domain, the path under kFilePathKey) is
  // returned; nullptr when the path was taken.
  ErrorPtr setCachesDirectory(std::string path);
  // $XDG_STATE_HOME/log, else ~/.local/state/log.
  std::string logsDirectory() const;
  void setLogsDirectory(std::string path);
  // $TMPDIR, else /tmp.
  std::string temporaryDirectory() const;
  void setTemporaryDirectory(std::string path);

 private:
  AppIdentity() = default;
  // The override held in `field`; "" when there is none.
  std::string overridden(const std::string AppIdentity::*field) const;
  void setOverride(std::string AppIdentity::*field, std::string value);

  mutable std::mutex mutex_;  // guards the overrides below; "" = none
  std::string bundleIdentifier_;
  std::string name_;
  std::string shortVersion_;
  std::string executablePath_;
  std::string localeIdentifier_;
  std::string cachesDirectory_;
  std::string logsDirectory_;
  std::string temporaryDirectory_;
};

}  // namespace platform
