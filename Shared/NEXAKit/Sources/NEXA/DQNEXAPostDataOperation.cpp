#include "DQNEXAPostDataOperation.h"

std::shared_ptr<DQURLConnection> DQNEXAPostDataOperation::makeConnectionForURL(const platform::Url& url,
                                                                              const platform::Data& data) {
  return DQURLConnection::connectionWithPOSTRequest(url, streamProvider(), DQURLConnectionConsumer::make(), data,
                                                  "text/xml");
}

platform::Value DQNEXAPostDataOperation::dataToSendForOperation(platform::ErrorPtr* error) {
  const auto* descriptor = dynamic_cast<const IDQPostDataNEXAOperationDescriptor*>(operationDescriptor().get());
  return descriptor ? descriptor->dataToPostForOperation(*this, error) : platform::Value();
}
