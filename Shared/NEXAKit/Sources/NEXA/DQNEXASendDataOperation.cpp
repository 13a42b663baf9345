#include "DQNEXASendDataOperation.h"

using namespace platform;

std::shared_ptr<DQURLConnection> DQNEXASendDataOperation::makeConnectionForURL(const Url&, const Data&) {
  return nullptr;
}

Value DQNEXASendDataOperation::dataToSendForOperation(ErrorPtr*) { return Value(); }

std::shared_ptr<DQURLConnectionConsumer> DQNEXASendDataOperation::processConnectionWithURL(const Url& url,
                                                                                           ErrorPtr* error) {
  ErrorPtr dataError;
  const Value body = dataToSendForOperation(&dataError);
  if (dataError) {
    if (error) *error = dataError;
    return nullptr;
  }
  auto send = [&](const Value& item, ErrorPtr* sendError) {
    return performRequest(
        [&]() -> std::shared_ptr<DQURLConnection> {
          return item.data() ? makeConnectionForURL(url, *item.data()) : nullptr;
        },
        sendError);
  };
  if (const Data* data = body.data()) return data->empty() ? nullptr : send(body, error);
  const Array* alternatives = body.array();
  if (!alternatives) return nullptr;
  std::shared_ptr<DQURLConnectionConsumer> consumer;
  for (const Value& alternative : *alternatives) {
    ErrorPtr attemptError;
    consumer = send(alternative, &attemptError);
    // An earlier alternative's failure does not outlive a later answer.
    if (error) *error = attemptError;
    if (!consumer) continue;
    const auto status = consumer->responseStatusCode();
    if ((!attemptError && status == 200) || status == 401) return consumer;
  }
  return consumer;
}
