#pragma once

#include <memory>

#include "DQURLConnectionConsumer.h"
#include "Values/Value.h"

// A consumer that also keeps the body. A body whose length the response
// announces is kept in one allocation of that length (of
// IDQHTTPStream::kMaximumBodyLength at the most).
class DQURLDataAccumulationConsumer : public DQURLConnectionConsumer {
 public:
  static std::shared_ptr<DQURLDataAccumulationConsumer> make() {
    return std::make_shared<DQURLDataAccumulationConsumer>();
  }

  const platform::Data& responseData() const { return responseData_; }

  using DQURLConnectionConsumer::stream;
  void stream(IDQHTTPStream& stream, const platform::Data& didReceiveData) override;

 private:
  platform::Data responseData_;
};
