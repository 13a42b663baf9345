#include "DQNEXAPutDataOperation.h"

std::shared_ptr<DQURLConnection> DQNEXAPutDataOperation::makeConnectionForURL(const platform::Url& url,
                                                                              const platform::Data& data) {
  return DQURLConnection::connectionWithPUTRequest(url, streamProvider(), DQURLConnectionConsumer::make(), data,
                                                  "text/xml;charset=UTF-8");
}

platform::Value DQNEXAPutDataOperation::dataToSendForOperation(platform::ErrorPtr* error) {
  const auto* descriptor = dynamic_cast<const IDQPutDataNEXAOperationDescriptor*>(operationDescriptor().get());
  return descriptor ? descriptor->dataToPutForOperation(*this, error) : platform::Value();
}
