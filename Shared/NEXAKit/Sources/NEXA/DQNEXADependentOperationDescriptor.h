#pragma once

#include <string>
#include <vector>

#include "DQNEXABaseOperationDescriptor.h"
#include "Text/RegularExpression.h"

// A request whose path is computed from the result of another request:
// "name{'selector:', arguments...}" calls the selector on the result of the
// dependency called name; an expression without trailing braces is the path
// itself.
class DQNEXADependentOperationDescriptor : public DQNEXABaseOperationDescriptor {
 public:
  // No result class means DQXMLDocument.
  DQNEXADependentOperationDescriptor(std::string name, std::vector<std::string> dependencies,
                                     std::string pathExpression, std::optional<DQNEXAResultClass> resultClass,
                                     bool cacheSupported, double connectionTimeout, std::uint64_t maxRetriesCount,
                                     double timeoutBetweenRetries);

  std::optional<std::string> URLPathForOperation(const DQNEXAAccessOperation& operation,
                                                 platform::ErrorPtr* error) const override;
  std::optional<std::vector<std::string>> operationDependencies() const override { return dependencies_; }
  const std::vector<std::string>& dependencies() const { return dependencies_; }
  const std::string& pathExpression() const { return pathExpression_; }

  // "^(.*)\{(.+)\}$", case-insensitive, made once (thread-safe). Group 1 is
  // greedy: it takes everything up to the last "{" that still leaves a
  // non-empty group 2, so "dep{'sel:', '{a}'}" yields the name
  // "dep{'sel:', '" and the function part "a}'". Stored descriptors rely on
  // this reading, so it is kept.
  static const platform::RegularExpression& regularExpressionToEvaluatePath();

 private:
  const std::vector<std::string> dependencies_;
  const std::string pathExpression_;
};
