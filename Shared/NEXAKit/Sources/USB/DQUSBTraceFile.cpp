#include "DQUSBTraceFile.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "System/AppIdentity.h"

namespace {

constexpr std::string_view kHeader = "authorization:";
constexpr std::string_view kRedacted = "<redacted>";

}  // namespace

DQUSBTraceFile& DQUSBTraceFile::shared() {
  static auto* trace = new DQUSBTraceFile(defaultPath());  // lives until the process ends
  return *trace;
}

std::string DQUSBTraceFile::defaultPath() {
  std::string folder = platform::AppIdentity::shared().logsDirectory() + "/NEXAKit";
  g_mkdir_with_parents(folder.c_str(), 0700);
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved)) folder = resolved;
  return folder + "/TolvekUSB.log";
}

DQUSBTraceFile::DQUSBTraceFile(std::string path, std::size_t limit) : path_(std::move(path)), limit_(limit) {}

DQUSBTraceFile::~DQUSBTraceFile() {
  if (fd_ >= 0) close(fd_);
}

bool DQUSBTraceFile::ensureOpen() {
  if (opened_) return fd_ >= 0;
  opened_ = true;
  fd_ = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return false;
  struct stat status {};
  size_ = fstat(fd_, &status) == 0 ? static_cast<std::size_t>(status.st_size) : 0;
  return true;
}

void DQUSBTraceFile::write(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  std::lock_guard lock(mutex_);
  const std::string item = redact(bytes);
  if (!ensureOpen()) return;
  if (size_ > 0 && size_ + item.size() > limit_) {
    close(fd_);
    rename(path_.c_str(), (path_ + ".1").c_str());
    opened_ = false;
    if (!ensureOpen()) return;
  }
  std::size_t written = 0;
  while (written < item.size()) {
    const ssize_t count = ::write(fd_, item.data() + written, item.size() - written);
    if (count <= 0) break;
    written += static_cast<std::size_t>(count);
  }
  size_ += written;
}

// A header line "Authorization: <scheme> <credentials>" keeps its name and
// scheme; the credentials become "<redacted>".
std::string DQUSBTraceFile::redact(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const std::uint8_t byte : bytes) {
    const char c = static_cast<char>(byte);
    const bool lineEnd = c == '\r' || c == '\n';
    switch (scan_) {
      case Scan::LineStart:
      case Scan::Name:
        if (g_ascii_tolower(c) == kHeader[matched_]) {
          scan_ = ++matched_ == kHeader.size() ? Scan::Spaces : Scan::Name;
        } else {
          scan_ = lineEnd ? Scan::LineStart : Scan::Other;
        }
        if (scan_ != Scan::Name) matched_ = 0;
        break;
      case Scan::Other:
        if (lineEnd) scan_ = Scan::LineStart;
        break;
      case Scan::Spaces:
        if (lineEnd) scan_ = Scan::LineStart;
        else if (c != ' ' && c != '\t') scan_ = Scan::Scheme;
        break;
      case Scan::Scheme:
        if (lineEnd) scan_ = Scan::LineStart;
        else if (c == ' ' || c == '\t') {
          out += c;
          out += kRedacted;
          scan_ = Scan::Secret;
          continue;
        }
        break;
      case Scan::Secret:
        if (!lineEnd) continue;
        scan_ = Scan::LineStart;
        break;
    }
    out += c;
  }
  return out;
}
