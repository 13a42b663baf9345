#include "DQURLConnectionConsumer.h"

#include "DQLog.h"

void DQURLConnectionConsumer::connectionTimerDidFire() {
  if (loadingCompleted_) return;
  com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelInfo, "[DQURLConnectionConsumer] - Connection timer did fire");
  loadingError_ = platform::Error::make(platform::Error::kURLErrorDomain, platform::Error::kURLErrorTimedOut);
  loadingCompleted_ = true;
}

void DQURLConnectionConsumer::readResponse(IDQHTTPStream& stream) {
  responseStatusCode_ = stream.statusCode();
  responseHeader_ = stream.responseHeader();
  authenticationRequest_ = stream.authenticationRequest();
}

void DQURLConnectionConsumer::streamDidReceiveResponse(IDQHTTPStream& stream) { readResponse(stream); }

void DQURLConnectionConsumer::stream(IDQHTTPStream&, const platform::Data&) {}

void DQURLConnectionConsumer::streamDidEnd(IDQHTTPStream& stream) {
  // A stream may end before it reported its response (within one turn); the
  // response is read here too, so that a finished loading always has it.
  if (!responseStatusCode_) readResponse(stream);
  loadingCompleted_ = true;
}

void DQURLConnectionConsumer::stream(IDQHTTPStream&, const platform::ErrorPtr& didFailWithError) {
  loadingError_ = didFailWithError;
  loadingCompleted_ = true;
}
