#pragma once

#include <memory>
#include <optional>

#include "DQHTTPStreamDelegate.h"
#include "DQHTTPStreamError.h"
#include "Values/Dictionary.h"
#include "IDQHTTPStream.h"
#include "IDQURLAuthenticationRequest.h"

// What every stream keeps the same way: the delegate (not owned) and the
// response's status, header and authentication request, none until the
// response. Streams derive from it and fill the response in.
class DQHTTPStreamBase : public IDQHTTPStream {
 public:
  std::shared_ptr<DQHTTPStreamDelegate> delegate() const override { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<DQHTTPStreamDelegate> delegate) override { delegate_ = std::move(delegate); }
  std::optional<platform::Dictionary> responseHeader() const override { return responseHeader_; }
  std::optional<int> statusCode() const override { return statusCode_; }
  std::shared_ptr<IDQURLAuthenticationRequest> authenticationRequest() const override { return authenticationRequest_; }

 protected:
  // For an open that cannot start: sets `*error`, when asked for, to the
  // stream domain's "other failure" with `description`; answers false.
  static bool refuseOpen(platform::ErrorPtr* error, const char* description) {
    if (error) {
      *error = DQHTTPStreamError::errorWithCode(DQHTTPStreamError::kOtherFailure, nullptr,
                                                {{platform::Error::kLocalizedDescriptionKey, platform::Value(description)}});
    }
    return false;
  }

  void setResponse(int statusCode, platform::Dictionary header,
                   std::shared_ptr<IDQURLAuthenticationRequest> authenticationRequest = nullptr) {
    statusCode_ = statusCode;
    responseHeader_ = std::move(header);
    authenticationRequest_ = std::move(authenticationRequest);
  }

 private:
  std::weak_ptr<DQHTTPStreamDelegate> delegate_;
  std::optional<int> statusCode_;
  std::optional<platform::Dictionary> responseHeader_;
  std::shared_ptr<IDQURLAuthenticationRequest> authenticationRequest_;
};
