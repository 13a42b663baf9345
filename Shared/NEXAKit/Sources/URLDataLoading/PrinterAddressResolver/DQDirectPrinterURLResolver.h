#pragma once

#include "DQPrinterURLResolver.h"

// A resolver whose result is known from the URI alone: it answers at once.
class DQDirectPrinterURLResolver : public DQPrinterURLResolver {
 public:
  DQDirectPrinterURLResolver(platform::Url printerURI, platform::Dictionary printerInfo);

  const platform::Dictionary& printerInfo() const { return printerInfo_; }

  // Calls the block (when there is one) with the result before returning;
  // always true.
  bool startResolving(CompletionBlock block) override;

 private:
  const platform::Dictionary printerInfo_;
};
