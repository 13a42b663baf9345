#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

// Writes to the system log over its datagram socket, without the process-wide
// state of openlog()/setlogmask(), so several writers with their own idents
// can coexist. Thread-safe: one mutex guards the socket and is held only for
// a non-blocking send.
class SystemLog {
 public:
  static constexpr std::size_t kMaxMessageLength = 8192;

  explicit SystemLog(std::string ident, std::string socketPath = "/dev/log");
  ~SystemLog();
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;

  // Severity 0 (emergency) to 7 (debug), facility user; other severities are
  // clamped to that range. Sends one RFC 3164 datagram
  // "<PRI>Mmm dd hh:mm:ss ident[pid]: message" in local time, the message cut
  // to kMaxMessageLength bytes (at a UTF-8 character boundary). False when
  // there is no system log to take it (no socket, refused, full); never
  // throws and never waits for the log.
  bool write(int severity, std::string_view message);
  // Closes the socket; the next write() opens it again.
  void close();
  const std::string& ident() const { return ident_; }

 private:
  bool connectLocked();
  void closeLocked();
  bool sendLocked(const std::string& datagram);

  const std::string ident_;
  const std::string socketPath_;
  std::mutex mutex_;  // guards fd_
  int fd_ = -1;
};

}  // namespace platform
