#include "DQHTTPStreamError.h"

platform::ErrorPtr DQHTTPStreamError::errorWithCode(std::int64_t code, platform::ErrorPtr underlying,
                                                    platform::Dictionary userInfo) {
  return platform::Error::withUnderlying(domain(), code, std::move(underlying), std::move(userInfo));
}

bool DQHTTPStreamError::isNonRecoverable(const platform::ErrorPtr& error) {
  if (!error) return false;
  const platform::Value* mark = error->userInfo().find(nonRecoverableErrorInfoKey());
  return mark && mark->boolValue();
}
