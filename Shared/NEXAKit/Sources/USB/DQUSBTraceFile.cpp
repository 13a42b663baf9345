#include "DQUSBTraceFile.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

void DQUSBTraceFile::write(std::span<const std::uint8_t> bytes, Redaction& stream) {
  if (bytes.empty()) return;
  std::lock_guard lock(mutex_);
  item_.clear();
  redact(bytes, stream, &item_);
  if (!ensureOpen()) return;
  if (size_ > 0 && size_ + item_.size() > limit_) {
    close(fd_);
    rename(path_.c_str(), (path_ + ".1").c_str());
    opened_ = false;
    if (!ensureOpen()) return;
  }
  std::size_t written = 0;
  while (written < item_.size()) {
    const ssize_t count = ::write(fd_, item_.data() + written, item_.size() - written);
    if (count <= 0) break;
    written += static_cast<std::size_t>(count);
  }
  size_ += written;
}

// A header line "Authorization: <scheme> <credentials>" keeps its name and
// scheme; the credentials become "<redacted>". Lines that are no such header
// are passed over in one step from their first byte that rules it out.
void DQUSBTraceFile::redact(std::span<const std::uint8_t> bytes, Redaction& stream, std::string* out) {
  using Scan = Redaction::Scan;
  const auto isLineEnd = [](char c) { return c == '\r' || c == '\n'; };
  const char* at = reinterpret_cast<const char*>(bytes.data());
  const char* const end = at + bytes.size();
  while (at < end) {
    if (stream.scan_ == Scan::Other || stream.scan_ == Scan::Secret) {
      const char* lineEnd = std::find_if(at, end, isLineEnd);
      if (out && stream.scan_ == Scan::Other) out->append(at, lineEnd);
      at = lineEnd;
      if (at == end) break;
      stream.scan_ = Scan::LineStart;
      if (out) *out += *at;
      ++at;
      continue;
    }
    const char c = *at++;
    const bool lineEnd = isLineEnd(c);
    switch (stream.scan_) {
      case Scan::LineStart:
      case Scan::Name:
        if (g_ascii_tolower(c) == kHeader[stream.matched_]) {
          stream.scan_ = ++stream.matched_ == kHeader.size() ? Scan::Spaces : Scan::Name;
        } else {
          stream.scan_ = lineEnd ? Scan::LineStart : Scan::Other;
        }
        if (stream.scan_ != Scan::Name) stream.matched_ = 0;
        break;
      case Scan::Spaces:
        if (lineEnd) stream.scan_ = Scan::LineStart;
        else if (c != ' ' && c != '\t') stream.scan_ = Scan::Scheme;
        break;
      case Scan::Scheme:
        if (lineEnd) {
          stream.scan_ = Scan::LineStart;
        } else if (c == ' ' || c == '\t') {
          stream.scan_ = Scan::Secret;
          if (out) *out += c, out->append(kRedacted);
          continue;
        }
        break;
      case Scan::Other:
      case Scan::Secret:
        break;
    }
    if (out) *out += c;
  }
}
