#include "DQHTTPStreamError.h"

platform::ErrorPtr DQHTTPStreamError::errorWithCode(std::int64_t code, platform::ErrorPtr underlying,
                                                    platform::Dictionary userInfo) {
  return platform::Error::withUnderlying(domain(), code, std::move(underlying), std::move(userInfo));
}

platform::ErrorPtr DQHTTPStreamError::unparsableResponseError(bool nonRecoverable, platform::Dictionary userInfo) {
  auto notHTTP = errorWithCode(kNotHTTP, nullptr, userInfo);
  if (nonRecoverable) userInfo.set(nonRecoverableErrorInfoKey(), platform::Value(true));
  return errorWithCode(kUnparsableResponse, std::move(notHTTP), std::move(userInfo));
}

bool DQHTTPStreamError::isNonRecoverable(const platform::ErrorPtr& error) {
  if (!error) return false;
  const platform::Value* mark = error->userInfo().find(nonRecoverableErrorInfoKey());
  return mark && mark->boolValue();
}
