#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "System/SystemLog.h"
#include "Text/RegularExpression.h"

using namespace platform;

namespace {

// A stand-in for the log daemon: a datagram socket in a private directory.
class LogServer {
 public:
  LogServer() {
    char pattern[] = "/tmp/SystemLogTests.XXXXXX";
    if (mkdtemp(pattern)) directory_ = pattern;
    path_ = directory_ + "/log";
  }
  ~LogServer() {
    stop();
    rmdir(directory_.c_str());
  }
  const std::string& path() const { return path_; }
  bool start() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  void stop() {
    if (fd_ < 0) return;
    close(fd_);
    unlink(path_.c_str());
    fd_ = -1;
  }
  // The next datagram, waiting at most ten seconds; "" when none came.
  std::string receive() {
    pollfd entry{fd_, POLLIN, 0};
    char buffer[16384];
    if (poll(&entry, 1, 10000) != 1) return "";
    const ssize_t length = recv(fd_, buffer, sizeof buffer, 0);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : "";
  }

 private:
  std::string directory_, path_;
  int fd_ = -1;
};

std::string messageOf(const std::string& datagram) { return datagram.substr(datagram.find("]: ") + 3); }

}  // namespace

TEST(SystemLogTest, WritesOneRfc3164DatagramPerMessage) {
  LogServer server;
  ASSERT_TRUE(server.start());
  SystemLog log("printd", server.path());

  ASSERT_TRUE(log.write(3, "tray 2 is empty"));
  const RegularExpression line("<11>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
                        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] printd\\[" + std::to_string(getpid()) + "\\]: tray 2 is empty");
  const std::string received = server.receive();
  EXPECT_TRUE(line.wholeMatch(received)) << received;

  // Facility user: PRI is 8 + severity; severities outside 0...7 are clamped.
  for (auto [severity, pri] : {std::pair{0, "<8>"}, {7, "<15>"}, {-1, "<8>"}, {12, "<15>"}}) {
    ASSERT_TRUE(log.write(severity, "x"));
    EXPECT_EQ(server.receive().substr(0, std::strlen(pri)), pri) << severity;
  }
}

TEST(SystemLogTest, CutsLongMessagesAtACharacterBoundary) {
  LogServer server;
  ASSERT_TRUE(server.start());
  SystemLog log("printd", server.path());
  const std::size_t limit = SystemLog::kMaxMessageLength;

  ASSERT_TRUE(log.write(6, std::string(limit + 100, 'x')));
  EXPECT_EQ(messageOf(server.receive()), std::string(limit, 'x'));
  // A two-byte character across the limit goes as a whole.
  ASSERT_TRUE(log.write(6, std::string(limit - 1, 'x') + "\xC3\xA9"));
  EXPECT_EQ(messageOf(server.receive()), std::string(limit - 1, 'x'));
}

TEST(SystemLogTest, ReportsAMissingLogAsFalseAndReconnectsWhenItComesBack) {
  LogServer server;
  SystemLog log("printd", server.path());
  EXPECT_FALSE(log.write(3, "no log yet"));
  EXPECT_FALSE(SystemLog("printd", "/tmp/" + std::string(200, 'a')).write(3, "path too long"));

  ASSERT_TRUE(server.start());
  ASSERT_TRUE(log.write(5, "first"));
  EXPECT_EQ(messageOf(server.receive()), "first");
  // The daemon restarts: the old connection is dead, the next write finds the new socket.
  server.stop();
  EXPECT_FALSE(log.write(5, "while gone"));
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(log.write(5, "after restart"));
  EXPECT_EQ(messageOf(server.receive()), "after restart");
}
