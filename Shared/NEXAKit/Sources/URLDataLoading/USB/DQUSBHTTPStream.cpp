#include "DQUSBHTTPStream.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <utility>

#include "DQLog.h"
#include "DQUSBInterfaceError.h"
#include "DQUSBStreamAuthenticationRequest.h"

namespace {

bool isInterfaceError(const platform::ErrorPtr& error, std::optional<std::int64_t> code = std::nullopt) {
  return error && error->domain() == DQUSBInterfaceError::domain() && (!code || error->code() == *code);
}

std::chrono::steady_clock::duration seconds(double value) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

DQUSBHTTPStream::DQUSBHTTPStream(std::shared_ptr<DQUSBDevice> device, DQDeviceIDParser::Locators interfaceLocators,
                                 std::shared_ptr<platform::HttpMessage> request, Timing timing,
                                 std::shared_ptr<DQUSBOwedResponses> owedResponses)
    : device_(std::move(device)),
      interfaceLocators_(std::move(interfaceLocators)),
      request_(std::move(request)),
      timing_(timing),
      owedResponses_(std::move(owedResponses)) {}

DQUSBHTTPStream::~DQUSBHTTPStream() {
  leaveOwedRest();
  cancelTimer();
  if (cancellationTimer_) cancellationTimer_->invalidate();
  if (levelZeroRunLoopSource_) levelZeroRunLoopSource_->invalidate();
  if (pipe_) pipe_->close();
  if (responseAccumulator_) responseAccumulator_->setDelegate({});
}

DQUSBDevice::Interfaces DQUSBHTTPStream::buildSortedInterfaceDescriptorsForLocators() const {
  auto located = device_ ? device_->interfaceDescriptorsForLocators(interfaceLocators_) : std::nullopt;
  if (!located) return {};
  auto has = [this](const std::shared_ptr<DQUSBInterfaceDescriptor>& descriptor, bool (DQUSBInterfaceDescriptor::*kind)() const) {
    return device_->interfaceDescriptorHasAlternatesMatchingPredicate(
        descriptor, [kind](const DQUSBInterfaceDescriptor& one) { return (one.*kind)(); });
  };
  std::stable_sort(located->begin(), located->end(), [&](const auto& left, const auto& right) {
    const bool leftIPP = has(left, &DQUSBInterfaceDescriptor::isAirPrintInterface);
    const bool rightIPP = has(right, &DQUSBInterfaceDescriptor::isAirPrintInterface);
    if (leftIPP != rightIPP) return !leftIPP;
    return !has(left, &DQUSBInterfaceDescriptor::isPrintInterface) &&
           has(right, &DQUSBInterfaceDescriptor::isPrintInterface);
  });
  return *located;
}

bool DQUSBHTTPStream::openInRunLoop(const std::optional<platform::RunLoop>& runLoop, double, platform::ErrorPtr* error,
                                    CancellationBlock cancellationBlock) {
  if (opened_) return true;
  auto fail = [error](platform::ErrorPtr made) {
    if (error) *error = std::move(made);
    return false;
  };
  if (opening_ || !device_ || !device_->isConnected() || !request_) {
    return fail(errorWithCode(DQHTTPStreamError::kConnectionFailure, nullptr, true));
  }
  auto self = sharedAs<DQUSBHTTPStream>();  // the waits may drop the caller's reference
  if (responseAccumulator_) responseAccumulator_->setDelegate({});
  responseAccumulator_ = std::make_shared<DQHTTPResponseAccumulator>(request_.get());
  responseAccumulator_->setDelegate(std::static_pointer_cast<DQHTTPResponseAccumulatorDelegate>(self));
  if (buildSortedInterfaceDescriptorsForLocators().empty()) {
    return fail(errorWithCode(DQHTTPStreamError::kConnectionFailure, nullptr, true));
  }
  runLoop_ = runLoop ? *runLoop : platform::RunLoop::current();
  streamStatus_ = std::make_shared<DQUSBHTTPStreamStatus>(std::move(cancellationBlock));
  writeStartedAt_.reset();

  opening_ = true;
  platform::ErrorPtr failure = openInterface();
  opening_ = false;
  if (!pipe_) return fail(failure);
  if (owedResponses_) owedRest_ = owedResponses_->take(*interface_, device_->serialNumber());

  levelZeroRunLoopSource_ = DQLevelZeroRunLoopSource::make();
  levelZeroRunLoopSource_->scheduleInRunLoop(runLoop_);
  requestData_ = std::make_shared<const platform::Data>(request_->serializedMessage());
  pullRetries_ = kPullRetries;
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBStream] - Start pulling data from the pipe");
  opened_ = true;
  // The drain runs while the first write waits for its time.
  writeAt_ = std::chrono::steady_clock::now() + seconds(timing_.firstWriteDelay);
  schedule(0, &DQUSBHTTPStream::pullDataFromPipe);
  return true;
}

platform::ErrorPtr DQUSBHTTPStream::openInterface() {
  const auto descriptors = buildSortedInterfaceDescriptorsForLocators();
  const auto deadline = std::chrono::steady_clock::now() + seconds(timing_.openSearch);
  platform::ErrorPtr last;
  bool gone = false;  // the printer went: no pass can succeed
  while (std::chrono::steady_clock::now() < deadline) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBStream] - Opening the connection");
    bool allGone = true;
    for (const auto& descriptor : descriptors) {
      auto interface = device_->interfaceForDescriptor(descriptor);
      if (!interface) {
        com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelWarning, "[DQUSBStream] - Cannot locatie interface: %@", *descriptor);
      }
      auto pipe = makePipeWithInterface(interface);
      platform::ErrorPtr error;
      if (interface && pipe->open(&error)) {
        interface_ = std::move(interface);
        pipe_ = std::move(pipe);
        break;
      }
      if (error) last = error;
      if (!isInterfaceError(error, DQUSBInterfaceError::kNoDevice)) allGone = false;
      // A printer that went cannot come back under this device object.
      if (!device_->isConnected() || isInterfaceError(error, DQUSBInterfaceError::kNoDevice)) {
        gone = true;
        break;
      }
    }
    if (pipe_ || allGone || gone) {
      com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBStream] - Connection is opened or device is removed");
      break;
    }
    const bool cancelled = !waitForTimeout(timing_.openPassInterval, [this] {
      return !opening_ || streamStatus_->isCancelled();
    });
    if (cancelled) break;
  }
  if (pipe_) return nullptr;
  if (last) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBStream] - Failed to open USB interface: %@:%@",
                                 last->domain(), last->code());
  } else {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBStream] - Failed to open USB interface: %@:%@", "[nil]", 0);
  }
  if (!gone && isInterfaceError(last, DQUSBInterfaceError::kExclusiveAccess)) {
    return errorWithCode(DQHTTPStreamError::kInterfaceExclusive, last);
  }
  return errorWithCode(DQHTTPStreamError::kConnectionFailure, last,
                       gone || isInterfaceError(last, DQUSBInterfaceError::kNoDevice));
}

std::shared_ptr<DQUSBPipe> DQUSBHTTPStream::makePipeWithInterface(const std::shared_ptr<DQUSBInterface>& interface) const {
  return std::make_shared<DQUSBPipe>(interface);
}

void DQUSBHTTPStream::pullDataFromPipe() {
  cancelTimer();
  auto self = sharedAs<DQUSBHTTPStream>();
  const auto pipe = pipe_;
  bufferForReading_.resize(kBlockSize + 1);
  std::size_t drained = 0;
  // A printer still trickling bytes of an earlier answer never leaves the
  // drain an empty read: its time is bounded as well.
  const auto drainEnd = std::chrono::steady_clock::now() + seconds(timing_.drainCompletion);
  // A cancelled exchange writes no request: the drain has no more use.
  const auto cancelled = [this] { return streamStatus_->isCancelled(); };
  while (alive() && !cancelled() && drained < kDrainLimit && pullRetries_ >= 1 &&
         std::chrono::steady_clock::now() < drainEnd) {
    platform::ErrorPtr error;
    const std::size_t count = pipe->readToBuffer(bufferForReading_.data(), kBlockSize, timing_.drainNoData,
                                                 timing_.drainCompletion, &error, cancelled);
    if (error) break;
    if (count == 0) {
      --pullRetries_;
      continue;
    }
    // What follows the rest of a cut answer is stale as well.
    if (owedRest_) dropOwedRest(std::span(bufferForReading_.data(), count));
    drained += count;
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBStream] - %@ bytes are pulled from the pipe", count);
  }
  if (!alive()) return;
  const double wait = std::chrono::duration<double>(writeAt_ - std::chrono::steady_clock::now()).count();
  if (wait > 0 && !cancelled()) return schedule(wait, &DQUSBHTTPStream::writeRequest);
  writeRequest();
}

void DQUSBHTTPStream::writeRequest() {
  cancelTimer();
  auto self = sharedAs<DQUSBHTTPStream>();
  // A close from a block run during a transfer or a wait drops the stream's
  // references; the write keeps its own until it returns.
  const auto request = requestData_;
  const auto pipe = pipe_;
  canBeInterrupted_ = false;
  writeStartedAt_ = std::chrono::steady_clock::now();
  armCancellationTimer();
  if (com_zarn_NEXAKit_TolvekDQLogWouldLog(kDQLogLevelDebug)) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBStream] - Sending request to NEXA interface:\n%@",
                                 redactedRequestText(*request));
  }
  const auto interruptible = [this] { return mayBeInterrupted(); };
  for (std::size_t at = 0; at < request->size();) {
    const std::size_t remaining = request->size() - at;
    const std::size_t block = remaining < kBlockSize + 1 ? remaining : kBlockSize;
    platform::ErrorPtr error;
    std::size_t sent = 0;  // bytes of this block that went out, over its tries
    for (int attempt = 0; attempt < 3 && sent < block; ++attempt) {
      if (attempt > 0 && pauseEnded(timing_.retryInterval)) return;
      // Cancelled before a byte of its request went out, the exchange ends
      // here: it may be interrupted at once, and the printer gets nothing.
      if (at + sent == 0 && streamStatus_->isCancelled()) return finish();
      error.reset();
      std::size_t moved = 0;
      // A printer that takes no byte holds the write only until a
      // cancellation may interrupt it: its transfer is aborted then.
      pipe->writeBuffer(request->data() + at + sent, block - sent, &error, moved, interruptible);
      sent += moved;
      // A close ends the write silently, a cancellation that may come in as
      // it ends a read.
      if (!alive() || interruptIfAllowed()) return;
    }
    if (sent < block) return reportError(streamErrorWithError(error));
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBStream] - %@ bytes are sent", block);
    at += block;
  }
  streamStatus_->handleRequestSendCompletion();
  responseHeaderCheckTimeout_ = timing_.headerCheck;
  readResponse();
}

void DQUSBHTTPStream::readResponse() {
  cancelTimer();
  auto self = sharedAs<DQUSBHTTPStream>();
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBStream] - Reading the response");
  const std::uint64_t before = streamStatus_->responseBytesReaden();
  const auto pipe = pipe_;
  bufferForReading_.resize(kBlockSize + 1);
  for (int reads = 0;; ++reads) {
    if (reads == kReadsPerTurn) {
      // Let the run loop's timers and cancellation in now and then.
      return schedule(0, &DQUSBHTTPStream::readResponse);
    }
    std::fill_n(bufferForReading_.begin(), kBlockSize, std::uint8_t(' '));
    platform::ErrorPtr error;
    std::size_t count = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (attempt > 0 && pauseEnded(std::max(0.0, std::min(timing_.retryInterval, responseTimeLeft())))) return;
      error.reset();
      count = 0;
      // No read waits past the response time-out, so an answer still coming
      // then is not taken: the exchange fails at the check below.
      const double left = responseTimeLeft();
      if (left <= 0) break;
      // A read waiting for a silent printer ends as soon as a cancellation
      // may interrupt the exchange.
      count = pipe->readToBuffer(bufferForReading_.data(), kBlockSize, std::min(timing_.readNoData, left),
                                 std::min(timing_.readCompletion, left), &error, [this] { return mayBeInterrupted(); });
      if (!alive()) return;
      if (!error) break;
    }
    if (error) return reportError(streamErrorWithError(error));
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBStream] - Read bytes from USB port: %@", count);
    if (count == 0) break;
    streamStatus_->addResponseBytes(count);
    auto answer = std::span<const std::uint8_t>(bufferForReading_.data(), count);
    platform::Data afterRest;  // the bytes after an earlier answer's rest
    if (owedRest_) {
      afterRest = dropOwedRest(answer);
      answer = afterRest;
    }
    if (!answer.empty()) {
      responseAccumulator_->appendData(answer);
      if (!opened_ || !responseAccumulator_->isWaitingForData()) return finish();
    }
    // A printer that keeps sending a few bytes is held to the same limits
    // as one that sends nothing.
    if (endAtReadingLimits()) return;
  }

  if (streamStatus_->responseBytesReaden() == before) {
    const double readingTime = streamStatus_->responseReadingTime();
    if (readingTime > responseHeaderCheckTimeout_) {
      const auto status = statusCode();
      if (status && *status != 200 && responseAccumulator_->isHeaderComplete() &&
          !responseAccumulator_->headerFieldForKey("Transfer-Encoding") &&
          !responseAccumulator_->headerFieldForKey("Content-Length")) {
        com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelInfo, "[DQUSBHTTPStream] - Device did report error code");
        finish();
        if (auto delegate = this->delegate(); delegate && opened_) delegate->streamDidEnd(*this);
        return;
      }
      responseHeaderCheckTimeout_ += timing_.headerCheck;
    }
  } else {
    canBeInterrupted_ = false;
  }
  // An empty read after bytes is held to the limits as well.
  if (endAtReadingLimits()) return;
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelDebug, "[DQUSBStream] - Schedule new read");
  schedule(timing_.pollInterval, &DQUSBHTTPStream::readResponse);
}

bool DQUSBHTTPStream::mayBeInterrupted() const {
  if (!writeStartedAt_) return false;
  // Counted from the start of the write over the write and the reading, so
  // that a cancelled exchange ends at most that long after it began.
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - *writeStartedAt_).count();
  return waited > timing_.cancellationHonoured && streamStatus_->isCancelled();
}

double DQUSBHTTPStream::responseTimeLeft() const {
  // The slack makes a read that waits it all end past the limit.
  return timing_.responseTimeout - streamStatus_->responseReadingTime() + kTimerSlack;
}

void DQUSBHTTPStream::armCancellationTimer() {
  // A cancellation that came before the exchange has lasted long enough is
  // let in once it has: the timer turns the run loop that a transfer waits on.
  if (cancellationTimer_) cancellationTimer_->invalidate();
  cancellationTimer_ = platform::Timer::scheduled(*runLoop_, timing_.cancellationHonoured + kTimerSlack, false,
                                                  [](platform::Timer&) {});
}

bool DQUSBHTTPStream::interruptIfAllowed() {
  if (!mayBeInterrupted()) return false;
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelWarning, "[DQUSBStream] - Response timeout, allow cancel");
  finish();
  return true;
}

bool DQUSBHTTPStream::endAtReadingLimits() {
  if (streamStatus_->responseReadingTime() > timing_.responseTimeout) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQUSBStream] - Response timeout, report error");
    if (!owedRest_) {
      reportError(errorWithCode(DQHTTPStreamError::kTimedOut));
    } else {
      // Nothing but that rest came, or nothing at all: the reason is told.
      reportError(DQHTTPStreamError::errorWithCode(
          DQHTTPStreamError::kTimedOut, nullptr,
          {{platform::Error::kLocalizedDescriptionKey, platform::Value(kPreviousAnswerCutDescription)}}));
    }
    return true;
  }
  return interruptIfAllowed();
}

void DQUSBHTTPStream::accumulatorDidFinishParsingHeader(DQHTTPResponseAccumulator& accumulator) {
  std::shared_ptr<IDQURLAuthenticationRequest> authentication;
  if (accumulator.statusCode() == 401) {
    authentication = DQUSBStreamAuthenticationRequest::authenticationInfoWithDevice(
        device_->serialNumber().value_or(""), accumulator.responseMessage().get());
  }
  setResponse(static_cast<int>(accumulator.statusCode()), accumulator.responseHeader(), std::move(authentication));
  if (auto delegate = this->delegate(); delegate && opened_) delegate->streamDidReceiveResponse(*this);
}

void DQUSBHTTPStream::accumulatorDidFinishParsingBody(DQHTTPResponseAccumulator& accumulator) {
  if (auto delegate = this->delegate(); delegate && opened_) delegate->stream(*this, accumulator.body());
  if (auto delegate = this->delegate(); delegate && opened_) delegate->streamDidEnd(*this);
}

void DQUSBHTTPStream::accumulatorHeader(DQHTTPResponseAccumulator&, const platform::ErrorPtr& didFailParsingWithError) {
  reportError(errorWithCode(DQHTTPStreamError::kUnparsableResponse, didFailParsingWithError));
}

platform::Data DQUSBHTTPStream::dropOwedRest(std::span<const std::uint8_t> bytes) {
  auto after = owedRest_->drop(bytes);
  if (owedRest_->isOver()) forgetOwedRest();
  return after;
}

void DQUSBHTTPStream::forgetOwedRest() {
  const auto rest = std::exchange(owedRest_, nullptr);
  if (!rest || (rest->isOver() && !rest->wasAbandoned())) return;
  // A rest is owed only on an interface with its place on the bus.
  const auto key = interface_->service()->key();
  com_zarn_NEXAKit_TolvekDQLog(
      kDQLogLevelWarning,
      "[DQUSBStream] - The rest of an answer cut short on interface %@ of printer %@ (bus %@, address %@) is "
      "forgotten: %@%@ bytes of it never came",
      interface_->interfaceNumber(), device_->serialNumber().value_or("[no serial number]"), key.bus, key.address,
      rest->isMissingLengthExact() ? "" : "at least ", rest->missingLength());
}

void DQUSBHTTPStream::leaveOwedRest() {
  // Only the first exchange whose request went out whole after the cut (one
  // the printer could answer) carries the earlier rest; what it did not drop
  // is forgotten, so that the one after takes its own answer. One that ended
  // before leaves the rest owed.
  if (streamStatus_ && streamStatus_->isRequestSent()) forgetOwedRest();
  if (!owedResponses_ || !interface_) return;
  auto rest = responseAccumulator_ ? DQHTTPResponseRest::restOf(*responseAccumulator_) : nullptr;
  owedResponses_->leave(*interface_, device_->serialNumber(), rest ? std::move(rest) : std::move(owedRest_));
  owedRest_.reset();
}

void DQUSBHTTPStream::close() {
  leaveOwedRest();
  if (levelZeroRunLoopSource_) {
    levelZeroRunLoopSource_->invalidate();
    levelZeroRunLoopSource_.reset();
  }
  if (pipe_) pipe_->close();
  if (interface_) interface_->close();
  pipe_.reset();
  interface_.reset();
  requestData_.reset();
  cancelTimer();
  if (cancellationTimer_) {
    cancellationTimer_->invalidate();
    cancellationTimer_.reset();
  }
  opened_ = false;
  opening_ = false;
  if (device_) device_->disconnect();
}

void DQUSBHTTPStream::schedule(double seconds, void (DQUSBHTTPStream::*step)()) {
  cancelTimer();
  std::weak_ptr<DQUSBHTTPStream> weak = sharedAs<DQUSBHTTPStream>();
  readingTimer_ = platform::Timer::scheduled(*runLoop_, seconds, false, [weak, step](platform::Timer&) {
    if (auto stream = weak.lock(); stream && stream->alive()) ((*stream).*step)();
  });
}

void DQUSBHTTPStream::cancelTimer() {
  if (readingTimer_) readingTimer_->invalidate();
  readingTimer_.reset();
}

bool DQUSBHTTPStream::pauseEnded(double seconds) {
  waitForTimeout(seconds, [this] { return mayBeInterrupted(); });
  return !alive() || interruptIfAllowed();
}

bool DQUSBHTTPStream::waitForTimeout(double seconds, const std::function<bool()>& stop) {
  if (!runLoop_) return true;
  const bool opening = opening_;
  // A close during the wait ends it: the open or the step stops.
  auto ended = [&] { return (opening ? !opening_ : !alive()) || (stop && stop()); };
  runLoop_->runUntil(ended, ::seconds(seconds));
  return !ended();
}

void DQUSBHTTPStream::finish() {
  canBeInterrupted_ = true;
  if (levelZeroRunLoopSource_) levelZeroRunLoopSource_->signal();
}

void DQUSBHTTPStream::reportError(const platform::ErrorPtr& error) {
  finish();
  if (auto delegate = this->delegate(); delegate && opened_) delegate->stream(*this, error);
}

platform::ErrorPtr DQUSBHTTPStream::errorWithCode(std::int64_t code, platform::ErrorPtr underlying,
                                                  bool nonRecoverable) {
  platform::Dictionary userInfo;
  if (nonRecoverable) userInfo.set(DQHTTPStreamError::nonRecoverableErrorInfoKey(), platform::Value(true));
  return DQHTTPStreamError::errorWithCode(code, std::move(underlying), std::move(userInfo));
}

platform::ErrorPtr DQUSBHTTPStream::streamErrorWithError(const platform::ErrorPtr& error) {
  if (!isInterfaceError(error)) return errorWithCode(DQHTTPStreamError::kOtherFailure, error);
  return errorWithCode(DQHTTPStreamError::kConnectionFailure, error, error->code() == DQUSBInterfaceError::kNoDevice);
}

std::string DQUSBHTTPStream::redactedRequestText(const platform::Data& serialized) {
  std::string text(serialized.begin(), serialized.end());
  for (std::size_t line = 0; line < std::min(text.find("\r\n\r\n"), text.size());) {
    const std::size_t end = text.find("\r\n", line);
    const std::size_t colon = text.find(':', line);
    if (colon < end) {
      std::string name = text.substr(line, colon - line);
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      if (name == "authorization") text.replace(colon + 1, end - colon - 1, " <redacted>");
    }
    line = text.find("\r\n", line);
    if (line == std::string::npos) break;
    line += 2;
  }
  return text;
}
