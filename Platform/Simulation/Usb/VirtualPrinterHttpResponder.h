#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Http/HttpMessage.h"
#include "Simulation/Usb/VirtualPrinter.h"

namespace platform {

// An HTTP/1.1 server behind one interface of a virtual printer, for tests and
// demonstrations: it reads requests from the bytes written to the interface's
// OUT endpoint (a head, then a body of its Content-Length), asks the handler
// for each answer and queues the answer on the IN endpoint, framed by
// Content-Length or, when a chunk size is set, chunked in chunks of that size.
//
// The handler runs on the thread that wrote the request's last byte, without
// a lock held. Thread-safe.
class VirtualPrinterHttpResponder : public std::enable_shared_from_this<VirtualPrinterHttpResponder> {
 public:
  struct Request {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> fields;
    std::vector<std::uint8_t> body;
    // The first field of that name, compared ignoring case.
    std::optional<std::string> field(std::string_view name) const;
  };
  // The answer to a request; nullptr answers nothing.
  using Handler = std::function<std::shared_ptr<HttpMessage>(const Request& request)>;

  // Serves on `interface` of the printer until the printer goes or another
  // output handler replaces this one.
  static std::shared_ptr<VirtualPrinterHttpResponder> attach(const std::shared_ptr<VirtualPrinter>& printer,
                                                             std::uint8_t interface, Handler handler);

  // 0 (the default): Content-Length framing.
  void setChunkSize(std::size_t size);
  // The requests answered or left unanswered so far, in order.
  std::vector<Request> requests() const;

  // The bytes of an answer: the status line, the fields, the framing field
  // and the body. A HEAD answer keeps its fields and sends no body.
  static std::vector<std::uint8_t> encode(const HttpMessage& response, std::size_t chunkSize, bool head);

 private:
  VirtualPrinterHttpResponder(std::weak_ptr<VirtualPrinter> printer, std::uint8_t interface, Handler handler);
  void take(std::span<const std::uint8_t> bytes);
  // With the lock held: the next complete request in the buffer, removed.
  std::optional<Request> nextRequest();

  const std::weak_ptr<VirtualPrinter> printer_;
  const std::uint8_t interface_;
  const Handler handler_;
  mutable std::mutex mutex_;  // guards the fields below; the writing threads and callers
  std::vector<std::uint8_t> buffer_;
  std::vector<Request> requests_;
  std::size_t chunkSize_ = 0;
};

}  // namespace platform
