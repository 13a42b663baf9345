#pragma once

#include <functional>
#include <memory>

#include "ALKActivity.h"
#include "ALKConfig.h"
#include "ALKMeasurementRequestFilter.h"
#include "ALKQueueFilter.h"
#include "Http/HttpMessage.h"
#include "Http/URLConnection.h"

// The hit returned an answer of 400 or more (under kALKHTTPStatusKey) or
// failed in transport (the transport's error as underlying error).
inline constexpr std::int64_t kALKErrorSendFailed = -201;
// No request could be made for the hit and no other error was given.
inline constexpr std::int64_t kALKErrorNoConnection = -200;
// The user-info key of -201 that holds the answer's HTTP status.
inline constexpr const char* kALKHTTPResponseKey = "ALKHTTPResponse";

// The stage that puts hits on the wire, one at a time, on the main run loop:
// each input activity becomes a request (ALKMeasurementRequestFilter), goes
// out, and only the status of the answer counts. The output is the prepared
// activity. A dry run ("dryRun") counts as delivered without sending.
//
// The error policy halts the stage only on a transport failure (or an
// endpoint that is no usable URL), so that hit stays at the head of the
// input queue until the stage is run again; an answer of 400 or more and a
// hit that cannot be encoded pass on as delivered, unless the config sets
// "ALKQueueFilterIgnoresProcessErrors", which lets transport failures pass
// as well.
//
// Threads: everything on the main thread, the execution queue included.
class ALKSendMeasurementActivityFilter : public ALKQueueFilter {
 public:
  // (filter, output, error), on the main thread.
  using SendCompletion =
      std::function<void(ALKQueueFilter& filter, const platform::ObjectPtr& output, const platform::ErrorPtr& error)>;

  static std::shared_ptr<ALKSendMeasurementActivityFilter> filterWithInputQueue(std::shared_ptr<IALKQueue> inputQueue,
                                                                                std::shared_ptr<IALKQueue> outputQueue,
                                                                                CompletionBlock completion);

  ALKSendMeasurementActivityFilter(Passkey key, std::shared_ptr<IALKQueue> inputQueue,
                                   std::shared_ptr<IALKQueue> outputQueue, CompletionBlock completion);
  ~ALKSendMeasurementActivityFilter() override;

  // The stage property "config".
  std::shared_ptr<ALKConfig> config() const;
  void setConfig(std::shared_ptr<ALKConfig> config);

  // Starts sending one hit, or finishes at once: cancelled (nothing), a hit
  // in flight (-300, which leaves that hit untouched), no activity, or no
  // request (the query's error, or -200).
  void sendActivity(const std::shared_ptr<ALKActivity>& activity, SendCompletion completion);
  // Cancels the hit in flight: its completion gets the input activity and
  // NSCocoaErrorDomain 3072, and nothing of its connection arrives later.
  void cancel() override;
  // Forgets the connection and all state of the hit in flight.
  void removeConnection();
  // The policy: stops only after a transport failure.
  ProceedErrorHandler connectionErrorHandler();
  // The User-Agent of every request: "<name>/<short version> (Linux)".
  static std::string userAgent();
  // The answer received for the hit in flight (its final status, after
  // redirects); nil before one arrives, and once the hit is finished.
  const std::shared_ptr<platform::HttpMessage>& response() const { return response_; }

 private:
  // The outcome of the hit in flight from the kept response and the
  // transport's failure.
  void handleConnectionFinish(platform::ErrorPtr error);

  std::shared_ptr<ALKActivity> originalActivity_;
  std::shared_ptr<ALKActivity> currentActivity_;
  std::unique_ptr<platform::URLConnection> connection_;
  SendCompletion sendActivityCompletion_;
  std::shared_ptr<platform::HttpMessage> response_;
};
