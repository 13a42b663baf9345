#include "DQURLDataAccumulationConsumer.h"

void DQURLDataAccumulationConsumer::stream(IDQHTTPStream&, const platform::Data& didReceiveData) {
  if (responseData_.empty()) {
    responseData_ = didReceiveData;
  } else {
    responseData_.insert(responseData_.end(), didReceiveData.begin(), didReceiveData.end());
  }
}
