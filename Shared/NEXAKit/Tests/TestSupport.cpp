#include "TestSupport.h"

#include <arpa/inet.h>
#include <glib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "LoopbackListener.h"
#include "RunLoop/RunLoop.h"

namespace testsupport {

void HttpServer::start(const std::string& host, int port) {
  port_ = port == 0 ? server_->bind_to_any_port(host) : server_->bind_to_port(host, port) ? port : -1;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // httplib's stop() does nothing until the listening loop runs, and the join
  // in stop() would then wait for ever: a test that ends before its first
  // request must still be able to stop the server.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
}

void HttpServer::stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

std::string HttpServer::url(const std::string& path) const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

RawServer::RawServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = listenOnLoopback(&port_);
  thread_ = std::thread([this] { serve(); });
}

RawServer::~RawServer() {
  stopping_.store(true);
  shutdown(listener_, SHUT_RDWR);
  thread_.join();
  ::close(listener_);
}

std::string RawServer::url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

std::vector<std::string> RawServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool RawServer::sendAll(int socket, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void RawServer::serve() {
  // One connection at a time is all the tests need.
  while (!stopping_.load()) {
    const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      pollfd fd{connection, POLLIN, 0};
      if (poll(&fd, 1, 5000) <= 0) break;
      const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      head.append(buffer, static_cast<std::size_t>(n));
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(head);
    }
    handler_(connection, head);
    ::close(connection);
  }
}

bool load(DQURLConnection& connection, double timeout, platform::ErrorPtr* openError) {
  platform::ErrorPtr error;
  if (!connection.open(timeout, &error, [] { return false; })) {
    if (openError) *openError = error;
    return false;
  }
  const bool ended =
      platform::RunLoop::current().runUntil([&] { return connection.isLoadingCompleted(); }, kPatience);
  connection.close();
  return ended;
}

int closedPort() {
  int port = -1;
  const int fd = listenOnLoopback(&port);
  ::close(fd);  // nobody listens there now
  return port;
}

TemporaryDirectory::TemporaryDirectory() {
  gchar* path = g_dir_make_tmp("nexakit-test-XXXXXX", nullptr);
  path_ = path ? path : "";
  g_free(path);
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

CapturedLog::CapturedLog() : lines_(std::make_shared<Lines>()) {
  auto lines = lines_;
  com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger([lines](int level, const std::string& message) {
    std::lock_guard lock(lines->mutex);
    lines->lines.emplace_back(level, message);
  });
}

CapturedLog::~CapturedLog() { com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger(nullptr); }

std::vector<std::pair<int, std::string>> CapturedLog::lines() const {
  std::lock_guard lock(lines_->mutex);
  return lines_->lines;
}

bool CapturedLog::contains(int level, const std::string& text) const {
  for (const auto& [lineLevel, line] : lines()) {
    if (lineLevel == level && line == text) return true;
  }
  return false;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_ = true;
    previous_ = old;
  }
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  if (had_) {
    setenv(name_.c_str(), previous_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

Certificate makeSelfSignedCertificate(const TemporaryDirectory& directory) {
  Certificate certificate{directory.file("cert.pem"), directory.file("key.pem")};
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost "
      "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" +
      certificate.keyPath + "' -out '" + certificate.certificatePath + "' > /dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return {};
  return certificate;
}

}  // namespace testsupport
