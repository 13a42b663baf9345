#include "DQNEXAHeadLoadingOperation.h"

#include "DQURLDataAccumulationConsumer.h"

std::shared_ptr<DQURLConnectionConsumer> DQNEXAHeadLoadingOperation::processConnectionWithURL(const platform::Url& url,
                                                                                        platform::ErrorPtr* error) {
  return performRequest([this, &url] { return makeConnectionForURL(url); }, error);
}

std::shared_ptr<DQURLConnection> DQNEXAHeadLoadingOperation::makeConnectionForURL(const platform::Url& url) {
  return DQURLConnection::connectionWithHEADRequest(url, streamProvider(), DQURLDataAccumulationConsumer::make());
}
