#pragma once

#include <memory>

#include "DQURLConnectionConsumer.h"
#include "Values/Value.h"

// A consumer that also keeps the body.
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
