#pragma once

#include <cstdint>

#include "Values/Dictionary.h"
#include "Errors/Error.h"

// The error domain of HTTP streams and stream providers.
class DQHTTPStreamError {
 public:
  enum Code : std::int64_t {
    kOtherFailure = 1,
    kConnectionFailure = 2,       // connection, name resolution or USB device failure
    kUnparsableResponse = 3,      // with the parse error underlying
    kTimedOut = 4,
    kInterfaceExclusive = 5,      // a USB interface held by another client
    kNoNEXAInterfaces = 6,        // a USB printer without NEXA interfaces
    kNotHTTP = 7,                 // bytes that are no HTTP; only as an underlying error of 3
    kConnectionRefused = 8,
  };

  // "com.zarn.nexakit.inputstream.error"
  static const char* domain() { return "com.zarn.nexakit.inputstream.error"; }
  // "NonRecoverableError": a user-info entry holding YES marks an error the
  // caller should not retry.
  static const char* nonRecoverableErrorInfoKey() { return "NonRecoverableError"; }

  // An error of the domain with `underlying` under the underlying-error key
  // when given.
  static platform::ErrorPtr errorWithCode(std::int64_t code, platform::ErrorPtr underlying = nullptr,
                                          platform::Dictionary userInfo = {});
  // "Response not parsable" (3) with "no HTTP" (7) underlying, `userInfo` on
  // both; marked not to be retried when `nonRecoverable` (a framing fault or
  // a body past the streams' limit: asking again gets the same answer).
  static platform::ErrorPtr unparsableResponseError(bool nonRecoverable, platform::Dictionary userInfo = {});
  // Whether the error is marked not to be retried.
  static bool isNonRecoverable(const platform::ErrorPtr& error);
};
