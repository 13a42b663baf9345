#include "DQNEXADependentOperationDescriptor.h"

#include "DQNEXADependency.h"
#include "DQNEXAError.h"
#include "DQNEXAExpression.h"

using namespace platform;

DQNEXADependentOperationDescriptor::DQNEXADependentOperationDescriptor(
    std::string name, std::vector<std::string> dependencies, std::string pathExpression,
    std::optional<DQNEXAResultClass> resultClass, bool cacheSupported, double connectionTimeout,
    std::uint64_t maxRetriesCount, double timeoutBetweenRetries)
    : DQNEXABaseOperationDescriptor(std::move(name),
                                    resultClass ? std::move(resultClass) : DQNEXAResultClass::XMLDocument(),
                                    cacheSupported, connectionTimeout, maxRetriesCount, timeoutBetweenRetries),
      dependencies_(std::move(dependencies)),
      pathExpression_(std::move(pathExpression)) {}

const RegularExpression& DQNEXADependentOperationDescriptor::regularExpressionToEvaluatePath() {
  static const RegularExpression expression(R"(^(.*)\{(.+)\}$)", RegularExpression::kCaseInsensitive);
  return expression;
}

std::optional<std::string> DQNEXADependentOperationDescriptor::URLPathForOperation(
    const DQNEXAAccessOperation& operation, ErrorPtr* error) const {
  // The pattern's "$" also matches before one final line end, and "." never
  // crosses one; the subject is read the same way here.
  std::string_view subject = pathExpression_;
  if (subject.ends_with("\r\n")) {
    subject.remove_suffix(2);
  } else if (subject.ends_with('\n') || subject.ends_with('\r')) {
    subject.remove_suffix(1);
  }
  const auto match = regularExpressionToEvaluatePath().wholeMatch(subject);
  if (!match) return DQNEXAExpression::trimmed(pathExpression_);
  const std::string name = DQNEXAExpression::trimmed(match->string(1));
  const std::string functionPart = match->string(2);
  ObjectPtr dependencyResult = DQNEXADependency::resultForDependency(name, operation, error);
  if (!dependencyResult) return std::nullopt;
  // The function part is read as literal text: a "%" in it is a character.
  const std::optional<Value> value = DQNEXAExpression::evaluateFunction(dependencyResult, functionPart);
  if (value && value->string()) return *value->string();
  if (error) *error = DQNEXAError::error(DQNEXAError::kNoPath);
  return std::nullopt;
}
