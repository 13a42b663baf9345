#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

// A socket listening on 127.0.0.1 on a port of its own, for the loopback
// servers of every library's tests; -1 on failure.
inline int listenOnLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// The listening socket of a test server with a stop that wakes every wait of
// its threads for good. Any thread.
class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = listenOnLoopback(&port_);
    if (fd_ < 0 || ::pipe(stopPipe_) != 0) std::abort();
  }
  ~LoopbackListener() {
    closeSocket();
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int port() const { return port_; }
  int fd() const { return fd_; }
  // Readable once stop() was called.
  int stopFd() const { return stopPipe_[0]; }

  void stop() { [[maybe_unused]] const auto written = ::write(stopPipe_[1], "x", 1); }
  // Connections are refused from then on. After the threads that wait on
  // the socket are done.
  void closeSocket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Whether `fd` became readable (or hung up) before the time-out or the stop.
  bool waitReadable(int fd, int timeoutMs) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    return ::poll(fds, 2, timeoutMs) > 0 && !(fds[1].revents & POLLIN) && (fds[0].revents & (POLLIN | POLLHUP));
  }
  // The next connection, waiting for it; -1 once stopped.
  int acceptNext() const {
    while (waitReadable(fd_, -1)) {
      const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) return connection;
    }
    return -1;
  }

 private:
  int fd_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
};
