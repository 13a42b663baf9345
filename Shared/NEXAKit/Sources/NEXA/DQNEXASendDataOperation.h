#pragma once

#include "DQNEXAAccessOperation.h"
#include "Values/Value.h"

// A NEXA request that sends a body: data, or an array of data tried in order
// until one is accepted (200) or refused for want of credentials (401).
class DQNEXASendDataOperation : public DQNEXAAccessOperation {
 public:
  using DQNEXAAccessOperation::DQNEXAAccessOperation;

  std::shared_ptr<DQURLConnectionConsumer> processConnectionWithURL(const platform::Url& url,
                                                                    platform::ErrorPtr* error) override;
  // The connection for one body; the base makes none.
  virtual std::shared_ptr<DQURLConnection> makeConnectionForURL(const platform::Url& url, const platform::Data& data);
  // The body; the base has none.
  virtual platform::Value dataToSendForOperation(platform::ErrorPtr* error);
};
