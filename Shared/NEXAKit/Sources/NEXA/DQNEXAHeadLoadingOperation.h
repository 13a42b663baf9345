#pragma once

#include "DQNEXAAccessOperation.h"

// A NEXA request sent with HEAD; the response body is collected.
class DQNEXAHeadLoadingOperation : public DQNEXAAccessOperation {
 public:
  using DQNEXAAccessOperation::DQNEXAAccessOperation;

  std::shared_ptr<DQURLConnectionConsumer> processConnectionWithURL(const platform::Url& url,
                                                                    platform::ErrorPtr* error) override;
  std::shared_ptr<DQURLConnection> makeConnectionForURL(const platform::Url& url);
};
