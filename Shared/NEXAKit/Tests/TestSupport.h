#pragma once

// Real peers and small helpers for the library's tests: HTTP servers on
// 127.0.0.1, a raw socket server for answers no HTTP server gives, a
// temporary folder and a logger that keeps the lines.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DQLog.h"
#include "DQURLConnection.h"
#include "Errors/Error.h"
#include "Values/Value.h"

namespace testsupport {

using namespace std::chrono_literals;

// Generous bound for waits that should end far sooner; never a verdict on speed.
inline constexpr auto kPatience = 10s;

// An httplib server (plain or TLS) listening on 127.0.0.1 on a port of its own.
class HttpServer {
 public:
  HttpServer() : server_(std::make_unique<httplib::Server>()) {}
  // A TLS server with the certificate and key in PEM files.
  HttpServer(const std::string& certificate, const std::string& key)
      : server_(std::make_unique<httplib::SSLServer>(certificate.c_str(), key.c_str())), tls_(true) {}
  ~HttpServer() { stop(); }

  httplib::Server& routes() { return *server_; }
  // Binds (to a port of its own for port 0), then serves on a thread of its
  // own until stop(); returns once the server listens.
  void start(const std::string& host = "127.0.0.1", int port = 0);
  void stop();
  int port() const { return port_; }
  std::string url(const std::string& path) const;

 private:
  std::unique_ptr<httplib::Server> server_;
  bool tls_ = false;
  int port_ = -1;
  std::thread thread_;
};

// A TCP server on 127.0.0.1 that hands each connection to `handler` with
// the request head it read (up to the blank line), on its own thread. The
// handler writes what it likes; the connection is closed when it returns.
class RawServer {
 public:
  using Handler = std::function<void(int socket, const std::string& requestHead)>;
  explicit RawServer(Handler handler);
  ~RawServer();

  int port() const { return port_; }
  std::string url(const std::string& path) const;
  // Request heads seen so far.
  std::vector<std::string> requests() const;

  // Sends the whole text; false when the peer went away.
  static bool sendAll(int socket, const std::string& text);

 private:
  void serve();

  Handler handler_;
  int listener_ = -1;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;  // guards requests_; the server's and the test's threads
  std::vector<std::string> requests_;
  std::thread thread_;
};

inline std::string text(const platform::Data& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline platform::Data bytes(const std::string& text) { return platform::Data(text.begin(), text.end()); }

// Opens the connection on this thread's run loop and spins it until the
// loading ended, then closes it; false when it did not open (with its error)
// or did not end in time.
bool load(DQURLConnection& connection, double timeout = 30, platform::ErrorPtr* openError = nullptr);

// A port on 127.0.0.1 where nobody listens.
int closedPort();

// A folder removed with everything in it at the end of the test.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Installs a logger that keeps every line; removes it when destroyed.
class CapturedLog {
 public:
  CapturedLog();
  ~CapturedLog();
  std::vector<std::pair<int, std::string>> lines() const;
  bool contains(int level, const std::string& text) const;

 private:
  struct Lines {
    std::mutex mutex;  // guards lines; any logging thread
    std::vector<std::pair<int, std::string>> lines;
  };
  std::shared_ptr<Lines> lines_;
};

// Sets an environment variable (or unsets it, for nullptr) for the scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();

 private:
  std::string name_;
  bool had_ = false;
  std::string previous_;
};

// A self-signed certificate and key for "localhost" and 127.0.0.1, made with
// the openssl command; empty paths when it failed.
struct Certificate {
  std::string certificatePath;
  std::string keyPath;
};
Certificate makeSelfSignedCertificate(const TemporaryDirectory& directory);

}  // namespace testsupport
