#include "DQUSBHTTPStreamStatus.h"

void DQUSBHTTPStreamStatus::handleRequestSendCompletion() {
  if (requestSent_) return;
  requestSent_ = true;
  responseReadingStartDate_ = Clock::now();
}

double DQUSBHTTPStreamStatus::responseReadingTime() const {
  if (!responseReadingStartDate_) return 0;
  return std::chrono::duration<double>(Clock::now() - *responseReadingStartDate_).count();
}
