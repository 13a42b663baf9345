#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackListener.h"

// A measurement collector on 127.0.0.1 (a port of its own): one connection
// at a time, one request per connection unless it keeps connections open. It
// records each request, then answers as scripted; unscripted requests get
// 200. Any thread.
class LoopbackCollector {
 public:
  struct Request {
    std::string method;
    std::string target;
    std::string head;  // the request line and header fields, as received
    std::string body;
    std::chrono::steady_clock::time_point arrived;
    std::chrono::steady_clock::time_point answered;
  };
  struct Answer {
    int status = 200;
    std::chrono::milliseconds delay{0};
    bool closeWithoutAnswer = false;
    std::string location = {};  // a redirect's target
    std::size_t bodySize = 2;  // bytes of body sent with the answer
  };

  LoopbackCollector() {
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackCollector() { stop(); }

  // Stops answering; connections are refused from then on.
  void stop() {
    if (!thread_.joinable()) return;
    listener_.stop();
    thread_.join();
    listener_.closeSocket();
  }

  // From now on a connection stays open for the client's next request, as a
  // real collector's does, until the client closes it or another connection
  // arrives; answers no longer say "Connection: close".
  void keepConnectionsOpen() { keepAlive_ = true; }
  // Connections accepted so far.
  std::size_t connections() const { return connections_.load(); }

  std::string endPoint() const { return "http://127.0.0.1:" + std::to_string(listener_.port()) + "/collect"; }
  void script(Answer answer) {
    std::lock_guard lock(mutex_);
    script_.push_back(answer);
  }
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Requests received so far, answered or not.
  std::size_t arrivals() const { return arrivals_.load(); }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }

 private:
  void serve() {
    for (int connection; (connection = listener_.acceptNext()) >= 0;) {
      ++connections_;
      while (handle(connection) && keepAlive_ && waitForNextRequest(connection)) {
      }
      ::close(connection);
    }
  }

  // Whether the open connection brings another request before a new
  // connection arrives or the collector stops.
  bool waitForNextRequest(int connection) {
    pollfd fds[3] = {{connection, POLLIN, 0}, {listener_.fd(), POLLIN, 0}, {listener_.stopFd(), POLLIN, 0}};
    return ::poll(fds, 3, -1) > 0 && !(fds[1].revents & POLLIN) && !(fds[2].revents & POLLIN) &&
           (fds[0].revents & (POLLIN | POLLHUP));
  }

  // Reads one request and answers it; false when the connection is done.
  bool handle(int connection) {
    Request request;
    std::string data;
    std::size_t headEnd = std::string::npos;
    std::size_t bodyLength = 0;
    char buffer[4096];
    while (headEnd == std::string::npos || data.size() < headEnd + 4 + bodyLength) {
      if (!listener_.waitReadable(connection, 5000)) return false;
      const ssize_t got = ::read(connection, buffer, sizeof(buffer));
      if (got <= 0) return false;
      data.append(buffer, static_cast<std::size_t>(got));
      if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
        request.arrived = std::chrono::steady_clock::now();
        ++arrivals_;
        request.head = data.substr(0, headEnd);
        if (const auto field = request.head.find("Content-Length: "); field != std::string::npos) {
          bodyLength = std::strtoul(request.head.c_str() + field + 16, nullptr, 10);
        }
      }
    }
    request.method = request.head.substr(0, request.head.find(' '));
    const std::size_t targetStart = request.method.size() + 1;
    request.target = request.head.substr(targetStart, request.head.find(' ', targetStart) - targetStart);
    request.body = data.substr(headEnd + 4, bodyLength);
    Answer answer;
    {
      std::lock_guard lock(mutex_);
      if (!script_.empty()) {
        answer = script_.front();
        script_.pop_front();
      }
    }
    if (answer.delay.count() > 0 && listener_.waitReadable(connection, static_cast<int>(answer.delay.count()))) {
      // The client went away while the answer was delayed.
    }
    // Recorded before the client hears the answer, so that whatever the client
    // does on an answer finds its request here.
    request.answered = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(request));
    }
    if (!answer.closeWithoutAnswer) {
      std::string reply = "HTTP/1.1 " + std::to_string(answer.status) +
                          " X\r\nContent-Length: " + std::to_string(answer.bodySize) + "\r\n";
      if (!keepAlive_) reply += "Connection: close\r\n";
      if (!answer.location.empty()) reply += "Location: " + answer.location + "\r\n";
      reply += "\r\n" + std::string(answer.bodySize, 'x');
      [[maybe_unused]] const auto sent = ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    return !answer.closeWithoutAnswer;
  }

  LoopbackListener listener_;
  std::thread thread_;
  mutable std::mutex mutex_;  // guards script_ and requests_
  std::deque<Answer> script_;
  std::vector<Request> requests_;
  std::atomic<std::size_t> arrivals_{0};
  std::atomic<std::size_t> connections_{0};
  std::atomic<bool> keepAlive_{false};
};
