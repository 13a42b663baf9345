#pragma once

#include "Errors/Error.h"
#include "Values/Object.h"
#include "Values/Value.h"

class IDQHTTPStream;

// What a stream reports about its exchange. Every call comes on the thread of
// the run loop the stream was opened in, never after the stream's close().
//
// A stream may deliver data and the end before the response within one turn
// of the run loop.
class DQHTTPStreamDelegate : public platform::Object {
 public:
  // The response header is known: status, header and authentication request
  // can be read from the stream.
  virtual void streamDidReceiveResponse(IDQHTTPStream& stream) = 0;
  // A piece of the body.
  virtual void stream(IDQHTTPStream& stream, const platform::Data& didReceiveData) = 0;
  // The response is complete.
  virtual void streamDidEnd(IDQHTTPStream& stream) = 0;
  // The exchange failed (an error of the HTTP stream domain).
  virtual void stream(IDQHTTPStream& stream, const platform::ErrorPtr& didFailWithError) = 0;
};
