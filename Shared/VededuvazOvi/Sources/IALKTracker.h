#pragma once

#include <memory>

#include "ALKActivity.h"
#include "ALKConfig.h"
#include "Values/Object.h"

class ALKClient;

// What the application sends activities to. Used on the main thread.
class IALKTracker : public platform::Object {
 public:
  virtual void close() = 0;
  virtual void sendActivity(const std::shared_ptr<ALKActivity>& activity) = 0;
  virtual void removePendingActivities() = 0;
  // Marks the next activity sent as the start (true) or the end (false) of a
  // session.
  virtual void resetSessionImmediately(bool start) = 0;
  virtual std::shared_ptr<ALKClient> client() const = 0;
  virtual std::shared_ptr<ALKConfig> config() = 0;
  virtual void setConfig(std::shared_ptr<ALKConfig> config) = 0;
  virtual bool hasPendingActivities() const = 0;
};
