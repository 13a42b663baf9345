#include "DQNEXADataLoadingOperation.h"

#include "DQURLDataAccumulationConsumer.h"

std::shared_ptr<DQURLConnectionConsumer> DQNEXADataLoadingOperation::processConnectionWithURL(const platform::Url& url,
                                                                                        platform::ErrorPtr* error) {
  return performRequest([this, &url] { return makeConnectionForURL(url); }, error);
}

std::shared_ptr<DQURLConnection> DQNEXADataLoadingOperation::makeConnectionForURL(const platform::Url& url) {
  return DQURLConnection::connectionWithGETRequest(url, streamProvider(), DQURLDataAccumulationConsumer::make());
}
