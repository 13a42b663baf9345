#pragma once

#include <memory>
#include <string>

#include "Errors/Error.h"
#include "Values/Object.h"

class DQNEXAAccessOperation;

// Finds the results of an operation's dependencies by request name. Only the
// access operations among the dependencies count: the printer resolving
// operation the session also puts there has neither name nor result.
class DQNEXADependency {
 public:
  // The first access dependency when `name` is empty, else the first whose
  // descriptor has that name; nullptr when none.
  static std::shared_ptr<DQNEXAAccessOperation> dependencyFor(const DQNEXAAccessOperation& operation,
                                                              const std::string& name);
  // The dependency's result; nullptr with NEXA error 1 when there is no such
  // dependency, or with the dependency's own error (possibly none) when it
  // has no result.
  static platform::ObjectPtr resultForDependency(const std::string& name, const DQNEXAAccessOperation& operation,
                                                 platform::ErrorPtr* error);
};
