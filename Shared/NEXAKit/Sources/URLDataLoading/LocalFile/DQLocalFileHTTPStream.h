#pragma once

#include <memory>
#include <optional>

#include "Http/HttpMessage.h"
#include "DQHTTPStreamBase.h"

// An HTTP exchange with the local file system, for file URLs: GET answers 200
// and the file's bytes, HEAD 200 without them; a missing, unreadable or
// directory path answers 404; a file past kMaximumBodyLength fails the
// exchange with "response not parsable", not to be retried; PUT replaces the file atomically and answers
// 200 (500 when it cannot be written); other methods answer 405.
//
// The answer comes in a later turn of the run loop the stream was opened in,
// never inside the open, in the order response, data, end. Used on that
// run loop's thread only.
class DQLocalFileHTTPStream : public DQHTTPStreamBase {
 public:
  explicit DQLocalFileHTTPStream(std::shared_ptr<platform::HttpMessage> request);

  // The time-out and cancellation block are not needed: the answer is at hand.
  bool openInRunLoop(const std::optional<platform::RunLoop>& runLoop, double timeout, platform::ErrorPtr* error,
                     CancellationBlock cancellationBlock) override;
  void close() override;

  double minimumConnectionTimeout() const override { return 0; }
  bool canBeInterrupted() const override { return true; }

  // The answer to a request for a file URL (pure but for the file system);
  // nullptr, with `*error` set, for a file too large to answer.
  static std::shared_ptr<platform::HttpMessage> responseForRequest(const platform::HttpMessage& request,
                                                                   platform::ErrorPtr* error);

 private:
  enum class State { Created, Opened, Closed };
  void answer();

  const std::shared_ptr<platform::HttpMessage> request_;
  State state_ = State::Created;
};
