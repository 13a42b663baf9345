#include "System/AppIdentity.h"

#include <glib.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace platform {
namespace {

// The name the process was started with, read once: every hit's user agent
// asks for it.
const std::string& commandName() {
  static const std::string name = [] {
    std::ifstream comm("/proc/self/comm");
    std::string line;
    std::getline(comm, line);
    return line;
  }();
  return name;
}

std::string programName() {
  if (const char* name = g_get_prgname(); name && *name) return name;
  return commandName();
}

// An XDG base directory variable counts only when it holds an absolute path.
std::string xdgDirectory(const char* variable) {
  const char* value = std::getenv(variable);
  return value && value[0] == '/' ? value : "";
}

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  return g_get_home_dir();
}

}  // namespace

AppIdentity& AppIdentity::shared() {
  static AppIdentity* identity = new AppIdentity();
  return *identity;
}

std::string AppIdentity::overridden(const std::string AppIdentity::*field) const {
  std::lock_guard lock(mutex_);
  return this->*field;
}

void AppIdentity::setOverride(std::string AppIdentity::*field, std::string value) {
  std::lock_guard lock(mutex_);
  this->*field = std::move(value);
}

std::string AppIdentity::bundleIdentifier() const {
  std::string value = overridden(&AppIdentity::bundleIdentifier_);
  return value.empty() ? programName() : value;
}
void AppIdentity::setBundleIdentifier(std::string identifier) {
  setOverride(&AppIdentity::bundleIdentifier_, std::move(identifier));
}

std::string AppIdentity::name() const {
  std::string value = overridden(&AppIdentity::name_);
  return value.empty() ? programName() : value;
}
void AppIdentity::setName(std::string name) { setOverride(&AppIdentity::name_, std::move(name)); }

std::string AppIdentity::shortVersion() const {
  std::string value = overridden(&AppIdentity::shortVersion_);
  return value.empty() ? "0" : value;
}
void AppIdentity::setShortVersion(std::string version) {
  setOverride(&AppIdentity::shortVersion_, std::move(version));
}

std::string AppIdentity::executablePath() const {
  if (std::string value = overridden(&AppIdentity::executablePath_); !value.empty()) return value;
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}
void AppIdentity::setExecutablePath(std::string path) {
  setOverride(&AppIdentity::executablePath_, std::move(path));
}

std::optional<std::string> AppIdentity::localeIdentifier() const {
  if (std::string value = overridden(&AppIdentity::localeIdentifier_); !value.empty()) return value;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* value = std::getenv(variable); value && *value) return localeIdentifierFromName(value);
  }
  return std::nullopt;
}
void AppIdentity::setLocaleIdentifier(std::string identifier) {
  setOverride(&AppIdentity::localeIdentifier_, std::move(identifier));
}

std::optional<std::string> AppIdentity::localeIdentifierFromName(std::string_view name) {
  name = name.substr(0, name.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return std::nullopt;
  return std::string(name);
}

std::string AppIdentity::cachesDirectory() const {
  if (std::string value = overridden(&AppIdentity::cachesDirectory_); !value.empty()) return value;
  if (std::string xdg = xdgDirectory("XDG_CACHE_HOME"); !xdg.empty()) return xdg;
  return homeDirectory() + "/.cache";
}
ErrorPtr AppIdentity::setCachesDirectory(std::string path) {
  if (!path.empty() && path.front() != '/') {
    std::error_code error;
    const std::filesystem::path workingDirectory = std::filesystem::current_path(error);
    if (error) {
      return Error::make(Error::kPOSIXErrorDomain, error.value(),
                         {{Error::kLocalizedDescriptionKey, "No working directory to take the caches folder against: " +
                                                                error.message()},
                          {Error::kFilePathKey, path}});
    }
    path = (workingDirectory / path).string();
  }
  setOverride(&AppIdentity::cachesDirectory_, std::move(path));
  return nullptr;
}

std::string AppIdentity::logsDirectory() const {
  if (std::string value = overridden(&AppIdentity::logsDirectory_); !value.empty()) return value;
  if (std::string xdg = xdgDirectory("XDG_STATE_HOME"); !xdg.empty()) return xdg + "/log";
  return homeDirectory() + "/.local/state/log";
}
void AppIdentity::setLogsDirectory(std::string path) { setOverride(&AppIdentity::logsDirectory_, std::move(path)); }

std::string AppIdentity::temporaryDirectory() const {
  if (std::string value = overridden(&AppIdentity::temporaryDirectory_); !value.empty()) return value;
  if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp) return tmp;
  return "/tmp";
}
void AppIdentity::setTemporaryDirectory(std::string path) {
  setOverride(&AppIdentity::temporaryDirectory_, std::move(path));
}

}  // namespace platform
