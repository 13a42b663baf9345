#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DQHTTPResponseAccumulator.h"
#include "DQHTTPResponseAccumulatorDelegate.h"
#include "DQHTTPStreamBase.h"
#include "DQLevelZeroRunLoopSource.h"
#include "DQUSBDevice.h"
#include "DQUSBHTTPStreamStatus.h"
#include "DQUSBInterface.h"
#include "DQUSBOwedResponses.h"
#include "DQUSBPipe.h"
#include "Dispatch/Timer.h"
#include "Http/HttpMessage.h"

// The waits of a USB exchange, in seconds. Tests shorten them.
struct DQUSBStreamTiming {
  double openSearch = 60.0;          // how long the open looks for a free interface
  double openPassInterval = 3.0;     // between two passes over the interfaces
  double firstWriteDelay = 0.1;      // from the open to the write
  double retryInterval = 0.5;        // between tries of a failed write or read
  double readNoData = 20.0;          // a read's no-data time-out
  double readCompletion = 60.0;      // a read's completion time-out
  double headerCheck = 10.0;         // first check for a device error status, raised by itself
  double cancellationHonoured = 10.0;  // time from the write's start before cancellation may interrupt
  double responseTimeout = 40.0;     // reading time without a response
  double pollInterval = 0.3;         // between empty reads
  // Stale bytes of an earlier exchange are queued at the printer already, so
  // a drain read needs only a short no-data time-out.
  double drainNoData = 0.005;        // a drain read's no-data time-out
  double drainCompletion = 1.0;      // a drain read's completion time-out, and the whole drain's
};

// One HTTP/1.1 exchange with a USB printer over one of the interfaces it
// names for NEXA: the open finds a free interface (dedicated ones first,
// IPP-over-USB ones last), then the request goes into the bulk OUT pipe in
// 1024-byte blocks and the bulk IN pipe is polled until the response is
// complete. Stale bytes left in the IN pipe by an earlier exchange are
// drained while the first write waits for its time (firstWriteDelay after
// the open): reads with a short no-data time-out until pullRetries of them
// came back empty, kDrainLimit bytes came or drainCompletion has passed. An
// exchange cancelled before a byte of its request went out ends once the
// drain returned (a cancellation cuts its reads) or its write's pause ended,
// writes nothing, and may be interrupted at once. A block whose write failed
// part-way is retried from its first unsent byte.
// The reading's limits (the response time-out, and the time after which a
// cancellation may interrupt it) are checked after every read, so a printer
// that trickles bytes holds the exchange no longer than a silent one; no
// read waits past the response time-out, and a read waiting for a silent
// printer ends once a cancellation may interrupt it. A write that the
// printer does not take is cut the same way: once a cancelled exchange has
// written for the time that lets a cancellation in, its transfer is
// aborted, and the exchange ends as a cancelled read does. Every pause of
// the write and the reading (before a retry, between two empty reads) is
// cut by such a cancellation as well.
//
// An exchange that ends after the head of its answer came and before the
// body its framing announces did leaves the rest owed on its interface (in
// the table of owed responses it was given). The next exchange on that
// interface drops that rest as it comes, by its framing, in the drain and
// then in its reading (within the reading's limits), before it takes its own
// answer; bytes that begin a status line where the rest would continue end
// it (the printer has moved on). That exchange alone carries the rest: what
// of it had not come when it ends is forgotten, with a warning, and an
// exchange whose reading timed out while the rest was still owed says in its
// error that the previous answer was cut. An exchange that ended before its
// request went out whole leaves the rest owed as it was. An answer that had not begun cannot
// be told from the next one and is not skipped.
//
// Everything runs on the thread of the run loop given to the open: one-shot
// timers drive the steps, and reads and writes are synchronous transfers that
// spin that run loop while they last. Callbacks of other sources that run
// meanwhile may close the stream, also from inside a transfer (which then
// ends as aborted) or a wait; the stream checks after every transfer, wait
// and delegate call, stops at once and tells its delegate nothing more.
// Made with make_shared.
class DQUSBHTTPStream : public DQHTTPStreamBase, public DQHTTPResponseAccumulatorDelegate {
 public:
  using Timing = DQUSBStreamTiming;


  static constexpr std::size_t kBlockSize = 1024;
  // Reads in a row before the reading returns to the run loop once.
  static constexpr int kReadsPerTurn = 64;
  // The most bytes drained before a request; more means the printer is
  // still sending, and the exchange goes on regardless.
  static constexpr std::size_t kDrainLimit = 256 * 1024;
  // Empty drain reads before the drain ends.
  static constexpr std::int64_t kPullRetries = 3;
  // How much later than a limit its timer fires, so that the limit has
  // passed when it does.
  static constexpr double kTimerSlack = 0.001;
  // The description of the time-out of an exchange whose reading got no
  // further than the rest of an earlier answer.
  static constexpr const char* kPreviousAnswerCutDescription =
      "The printer's previous answer was cut short, and no answer to this request came after its rest";

  // `device` may be null: the open then fails as for a gone printer.
  // Without `owedResponses` nothing is owed from one exchange to the next.
  DQUSBHTTPStream(std::shared_ptr<DQUSBDevice> device, DQDeviceIDParser::Locators interfaceLocators,
                  std::shared_ptr<platform::HttpMessage> request, Timing timing = {},
                  std::shared_ptr<DQUSBOwedResponses> owedResponses = nullptr);
  ~DQUSBHTTPStream() override;

  // Opens an interface and starts the exchange; true at once when open. The
  // time-out is not used: the connection's timer bounds the exchange. The
  // open waits for a busy interface by spinning the run loop.
  bool openInRunLoop(const std::optional<platform::RunLoop>& runLoop, double timeout, platform::ErrorPtr* error,
                     CancellationBlock cancellationBlock) override;
  // Ends the exchange at any point and disconnects the device object, so
  // the next exchange resolves the printer afresh.
  void close() override;

  double minimumConnectionTimeout() const override { return 300.0; }
  // Also while the exchange waits for its next step (the pause between two
  // empty reads) once a cancellation may interrupt it: a caller that spins
  // the run loop lets it go at once.
  bool canBeInterrupted() const override { return canBeInterrupted_ || mayBeInterrupted(); }
  bool isOpened() const { return opened_; }
  // Does nothing: credentials go into the request before the open.
  bool applyCredentials(const std::string&, const std::string&) { return true; }

  const std::shared_ptr<DQUSBDevice>& device() const { return device_; }
  const std::shared_ptr<DQUSBHTTPStreamStatus>& streamStatus() const { return streamStatus_; }
  const std::shared_ptr<DQUSBInterface>& interface() const { return interface_; }
  std::int64_t pullRetries() const { return pullRetries_; }

  // The device's interfaces of the locators' kinds, those without an
  // IPP-over-USB alternate first, then those without a plain print
  // alternate; equal ones keep the device's order.
  DQUSBDevice::Interfaces buildSortedInterfaceDescriptorsForLocators() const;
  // The serialised request for the debug log, the Authorization value
  // replaced by "<redacted>".
  static std::string redactedRequestText(const platform::Data& serialized);

  // DQHTTPResponseAccumulatorDelegate, from inside appendData on the
  // stream's thread.
  void accumulatorDidFinishParsingHeader(DQHTTPResponseAccumulator& accumulator) override;
  void accumulatorDidFinishParsingBody(DQHTTPResponseAccumulator& accumulator) override;
  void accumulatorHeader(DQHTTPResponseAccumulator& accumulator, const platform::ErrorPtr& didFailParsingWithError) override;

 private:
  // Whether the exchange may go on: open, with its pipe.
  bool alive() const { return opened_ && pipe_; }
  // Looks for a free interface; keeps it and its pipe, or answers the error.
  platform::ErrorPtr openInterface();
  std::shared_ptr<DQUSBPipe> makePipeWithInterface(const std::shared_ptr<DQUSBInterface>& interface) const;
  // Drops what is owed of an earlier answer at the front of `bytes`; answers
  // the bytes after it. Only while a rest is owed.
  platform::Data dropOwedRest(std::span<const std::uint8_t> bytes);
  // Lets the earlier answer's rest go; a warning tells what of it never came
  // when the printer moved on or it is still owed.
  void forgetOwedRest();
  // Leaves owed on the interface what this exchange's answer still lacks,
  // or, when its request did not go out whole, the earlier rest it had.
  void leaveOwedRest();
  void pullDataFromPipe();
  void writeRequest();
  void readResponse();
  // After every read, with bytes or without: past the response time-out the
  // exchange fails with code 4, and past the reading time that lets a
  // cancellation in, a cancelled exchange may be interrupted. True when it
  // ended so.
  bool endAtReadingLimits();
  // Whether the exchange was cancelled and has lasted, from the start of
  // its write, long enough to let the cancellation in.
  bool mayBeInterrupted() const;
  // What is left of the response time-out (a little past it, so that a wait
  // for all of it ends beyond the limit); 0 or less once it passed.
  double responseTimeLeft() const;
  // Turns the run loop once a cancellation may come in, counted from now
  // (the start of the write).
  void armCancellationTimer();
  // Ends the exchange for a cancellation (interruption allowed, no error)
  // when it may be interrupted; true when it ended so.
  bool interruptIfAllowed();
  // Replaces the pending step by `step` after `seconds` on the kept run loop.
  void schedule(double seconds, void (DQUSBHTTPStream::*step)());
  void cancelTimer();
  // A pause of the write or the reading: spins the kept run loop for
  // `seconds`, cut by a close or a cancellation that may interrupt the
  // exchange. True when the exchange ended so.
  bool pauseEnded(double seconds);
  // Spins the kept run loop for `seconds`; false when `stop` answered true.
  bool waitForTimeout(double seconds, const std::function<bool()>& stop = nullptr);
  // Allows interruption and wakes the waiting caller.
  void finish();
  void reportError(const platform::ErrorPtr& error);
  static platform::ErrorPtr errorWithCode(std::int64_t code, platform::ErrorPtr underlying = nullptr,
                                          bool nonRecoverable = false);
  static platform::ErrorPtr streamErrorWithError(const platform::ErrorPtr& error);

  const std::shared_ptr<DQUSBDevice> device_;
  const DQDeviceIDParser::Locators interfaceLocators_;
  const std::shared_ptr<platform::HttpMessage> request_;
  const Timing timing_;
  const std::shared_ptr<DQUSBOwedResponses> owedResponses_;
  // The rest of an earlier answer still to drop, while the interface is open.
  std::shared_ptr<DQHTTPResponseRest> owedRest_;
  bool canBeInterrupted_ = true;
  bool opened_ = false;
  bool opening_ = false;
  std::optional<platform::RunLoop> runLoop_;
  std::vector<std::uint8_t> bufferForReading_;
  // Shared with a write in progress, which a close must not free.
  std::shared_ptr<const platform::Data> requestData_;
  std::shared_ptr<DQHTTPResponseAccumulator> responseAccumulator_;
  std::shared_ptr<DQUSBInterface> interface_;
  std::shared_ptr<DQUSBPipe> pipe_;
  std::shared_ptr<platform::Timer> readingTimer_;
  // Fires once the exchange may let a cancellation in.
  std::shared_ptr<platform::Timer> cancellationTimer_;
  std::shared_ptr<DQLevelZeroRunLoopSource> levelZeroRunLoopSource_;
  std::int64_t pullRetries_ = 0;
  std::shared_ptr<DQUSBHTTPStreamStatus> streamStatus_;
  double responseHeaderCheckTimeout_ = 0;
  // When the request is written at the earliest.
  std::chrono::steady_clock::time_point writeAt_;
  // When the write started; none before.
  std::optional<std::chrono::steady_clock::time_point> writeStartedAt_;
};
