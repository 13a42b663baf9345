#include "DQURLDataAccumulationConsumer.h"

void DQURLDataAccumulationConsumer::stream(IDQHTTPStream&, const platform::Data& didReceiveData) {
  responseData_.insert(responseData_.end(), didReceiveData.begin(), didReceiveData.end());
}
