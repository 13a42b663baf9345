#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DQNEXAResultClass.h"
#include "Errors/Error.h"
#include "Values/Object.h"
#include "Values/Value.h"

class DQNEXAAccessOperation;

// Describes one NEXA request: the path to fetch or send (fixed or computed
// from the results of other requests), the class that turns the response into
// a result, whether the result may be cached, and the time-out and retries.
// Read by the session on the main thread and by the operation on its thread;
// descriptors do not change after they are made.
class IDQNEXAOperationDescriptor : public platform::Object {
 public:
  // The URL path for `operation`; nullopt on failure, with the reason in
  // *error when the descriptor has one.
  virtual std::optional<std::string> URLPathForOperation(const DQNEXAAccessOperation& operation,
                                                         platform::ErrorPtr* error) const = 0;
  // "" when the descriptor has no name.
  virtual const std::string& operationName() const = 0;
  // The names of the requests this one needs; nullopt for none.
  virtual std::optional<std::vector<std::string>> operationDependencies() const = 0;
  virtual const std::optional<DQNEXAResultClass>& resultClass() const = 0;
  virtual bool isCacheSupported() const = 0;
  virtual double connectionTimeout() const = 0;
  virtual std::uint64_t maxRetriesCount() const = 0;
  virtual double timeoutBetweenRetries() const = 0;
};

// A descriptor whose request sends a body with PUT. The body is data, or an
// array of data tried in order as alternatives.
class IDQPutDataNEXAOperationDescriptor {
 public:
  virtual ~IDQPutDataNEXAOperationDescriptor() = default;
  virtual platform::Value dataToPutForOperation(const DQNEXAAccessOperation& operation,
                                                platform::ErrorPtr* error) const = 0;
};

// A descriptor whose request sends a body with POST; the same forms.
class IDQPostDataNEXAOperationDescriptor {
 public:
  virtual ~IDQPostDataNEXAOperationDescriptor() = default;
  virtual platform::Value dataToPostForOperation(const DQNEXAAccessOperation& operation,
                                                 platform::ErrorPtr* error) const = 0;
};

// A descriptor that asks the printer again while it likes the answer, within
// the retry limit. Called on the operation's thread.
class IDQNEXAMonitoringOperationDescriptor {
 public:
  virtual ~IDQNEXAMonitoringOperationDescriptor() = default;
  // True to ask again; `result` and `error` are those built from the last
  // response.
  virtual bool continueMonitoringForResult(const platform::ObjectPtr& result, const platform::ErrorPtr& error) = 0;
  // Told true when the retry limit is reached.
  virtual void setReachRetryTimeout(bool reached) = 0;
};
