#include "System/SystemLog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace platform {
namespace {

// "<PRI>Mmm dd hh:mm:ss ident[pid]: " with the English month names whatever
// the locale.
std::string header(int severity, const std::string& ident) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "<%d>%s %2d %02d:%02d:%02d ", 8 + severity, kMonths[local.tm_mon],
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return stamp + ident + "[" + std::to_string(getpid()) + "]: ";
}

// At most `limit` bytes of `text`, not ending inside a UTF-8 sequence.
std::string_view cut(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

SystemLog::SystemLog(std::string ident, std::string socketPath)
    : ident_(std::move(ident)), socketPath_(std::move(socketPath)) {}

SystemLog::~SystemLog() { close(); }

bool SystemLog::write(int severity, std::string_view message) {
  std::string datagram = header(std::clamp(severity, 0, 7), ident_);
  datagram += cut(message, kMaxMessageLength);
  std::lock_guard lock(mutex_);
  if (fd_ < 0 && !connectLocked()) return false;
  if (sendLocked(datagram)) return true;
  // The log may have been restarted since we connected: one fresh attempt.
  closeLocked();
  return connectLocked() && sendLocked(datagram);
}

void SystemLog::close() {
  std::lock_guard lock(mutex_);
  closeLocked();
}

bool SystemLog::connectLocked() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.empty() || socketPath_.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    closeLocked();
    return false;
  }
  return true;
}

void SystemLog::closeLocked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SystemLog::sendLocked(const std::string& datagram) {
  const ssize_t sent = ::send(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  return sent == static_cast<ssize_t>(datagram.size());
}

}  // namespace platform
