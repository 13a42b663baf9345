#pragma once

#include "DQNEXASendDataOperation.h"

// A NEXA request that sends the descriptor's body with POST.
class DQNEXAPostDataOperation : public DQNEXASendDataOperation {
 public:
  using DQNEXASendDataOperation::DQNEXASendDataOperation;

  // Content type "text/xml"; the response body is not kept.
  std::shared_ptr<DQURLConnection> makeConnectionForURL(const platform::Url& url, const platform::Data& data) override;
  // The descriptor's data to post, none when it has no body to post.
  platform::Value dataToSendForOperation(platform::ErrorPtr* error) override;
};
