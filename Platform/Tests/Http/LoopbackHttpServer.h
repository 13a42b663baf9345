#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackListener.h"

// An HTTP/1.1 server on 127.0.0.1 (a port of its own) for the transfer tests.
// Each connection is served on a thread of its own and stays open between
// requests unless an answer closes it, so the tests can count the connections
// a client opens and see when it lets them go. Any thread.
class LoopbackHttpServer {
 public:
  struct Request {
    std::string method;
    std::string target;
    std::string body;
  };
  struct Answer {
    int status = 200;
    std::string location = {};  // a redirect's target
    std::chrono::milliseconds delay{0};
    bool close = false;           // "Connection: close", then closes
    bool closeSilently = false;  // closes after the answer without saying so
  };
  // Picks the answer to a request, on the connection's thread.
  using Router = std::function<Answer(const Request&)>;

  explicit LoopbackHttpServer(Router router = {}) : router_(std::move(router)) {
    acceptor_ = std::thread([this] { serve(); });
  }
  ~LoopbackHttpServer() {
    listener_.stop();
    acceptor_.join();
    for (auto& thread : connectionThreads_) thread.join();
  }

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(listener_.port()) + path; }
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  int connections() const { return accepted_.load(); }
  // Connections accepted and not yet closed by either side.
  int openConnections() const { return accepted_.load() - closed_.load(); }

 private:
  void serve() {
    for (int connection; (connection = listener_.acceptNext()) >= 0;) {
      ++accepted_;
      connectionThreads_.emplace_back([this, connection] {
        std::string pending;
        while (handleOne(connection, pending)) {
        }
        ::close(connection);
        ++closed_;
      });
    }
  }

  // Reads one request and answers it; false when the connection is done.
  bool handleOne(int connection, std::string& data) {
    std::size_t headEnd = std::string::npos;
    std::size_t bodyLength = 0;
    char buffer[4096];
    while (true) {
      if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
        const std::string head = data.substr(0, headEnd);
        if (const auto field = head.find("Content-Length: "); field != std::string::npos) {
          bodyLength = std::strtoul(head.c_str() + field + 16, nullptr, 10);
        }
      }
      if (headEnd != std::string::npos && data.size() >= headEnd + 4 + bodyLength) break;
      if (!listener_.waitReadable(connection, -1)) return false;
      const ssize_t got = ::read(connection, buffer, sizeof(buffer));
      if (got <= 0) return false;
      data.append(buffer, static_cast<std::size_t>(got));
    }
    Request request;
    request.method = data.substr(0, data.find(' '));
    const std::size_t targetStart = request.method.size() + 1;
    request.target = data.substr(targetStart, data.find(' ', targetStart) - targetStart);
    request.body = data.substr(headEnd + 4, bodyLength);
    data.erase(0, headEnd + 4 + bodyLength);
    const Answer answer = router_ ? router_(request) : Answer{};
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    if (answer.delay.count() > 0 && listener_.waitReadable(connection, static_cast<int>(answer.delay.count()))) {
      // The client went away (or sent more) while the answer was delayed.
    }
    std::string reply = "HTTP/1.1 " + std::to_string(answer.status) + " X\r\nContent-Length: 2\r\n";
    if (!answer.location.empty()) reply += "Location: " + answer.location + "\r\n";
    if (answer.close) reply += "Connection: close\r\n";
    reply += "\r\nok";
    const bool sent = ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(reply.size());
    return sent && !answer.close && !answer.closeSilently;
  }

  Router router_;
  LoopbackListener listener_;
  std::thread acceptor_;
  std::list<std::thread> connectionThreads_;  // the acceptor's; joined after it
  mutable std::mutex mutex_;                  // guards requests_
  std::vector<Request> requests_;
  std::atomic<int> accepted_{0};
  std::atomic<int> closed_{0};
};
