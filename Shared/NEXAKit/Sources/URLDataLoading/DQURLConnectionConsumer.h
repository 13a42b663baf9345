#pragma once

#include <memory>
#include <optional>

#include "DQHTTPStreamDelegate.h"
#include "Values/Dictionary.h"
#include "Errors/Error.h"
#include "IDQHTTPStream.h"
#include "IDQURLAuthenticationRequest.h"

// Collects what a connection's stream reports: status, header, the
// authentication request of a 401, the error, and whether loading ended. The
// body is not kept. Used on the thread whose run loop the stream runs on.
class DQURLConnectionConsumer : public DQHTTPStreamDelegate {
 public:
  static std::shared_ptr<DQURLConnectionConsumer> make() { return std::make_shared<DQURLConnectionConsumer>(); }

  // None until a response.
  const std::optional<int>& responseStatusCode() const { return responseStatusCode_; }
  const std::optional<platform::Dictionary>& responseHeader() const { return responseHeader_; }
  const std::shared_ptr<IDQURLAuthenticationRequest>& authenticationRequest() const { return authenticationRequest_; }
  const platform::ErrorPtr& loadingError() const { return loadingError_; }
  bool isLoadingCompleted() const { return loadingCompleted_; }

  // The connection timer: ends a loading still under way with the URL error
  // "timed out" (-1001).
  void connectionTimerDidFire();

  void streamDidReceiveResponse(IDQHTTPStream& stream) override;
  void stream(IDQHTTPStream& stream, const platform::Data& didReceiveData) override;
  void streamDidEnd(IDQHTTPStream& stream) override;
  void stream(IDQHTTPStream& stream, const platform::ErrorPtr& didFailWithError) override;

 private:
  // Takes status, header and authentication request from the stream.
  void readResponse(IDQHTTPStream& stream);

  std::optional<int> responseStatusCode_;
  std::optional<platform::Dictionary> responseHeader_;
  std::shared_ptr<IDQURLAuthenticationRequest> authenticationRequest_;
  platform::ErrorPtr loadingError_;
  bool loadingCompleted_ = false;
};
