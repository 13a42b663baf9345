#pragma once

#include "DQNEXASendDataOperation.h"

// A NEXA request that sends the descriptor's body with PUT.
class DQNEXAPutDataOperation : public DQNEXASendDataOperation {
 public:
  using DQNEXASendDataOperation::DQNEXASendDataOperation;

  // Content type "text/xml;charset=UTF-8"; the response body is not kept.
  std::shared_ptr<DQURLConnection> makeConnectionForURL(const platform::Url& url, const platform::Data& data) override;
  // The descriptor's data to put, none when it has no body to put.
  platform::Value dataToSendForOperation(platform::ErrorPtr* error) override;
};
