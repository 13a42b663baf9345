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

const std::regex& DQNEXADependentOperationDescriptor::regularExpressionToEvaluatePath() {
  static const std::regex expression(R"(^(.*)\{(.+)\}$)", std::regex::ECMAScript | std::regex::icase);
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
  std::match_results<std::string_view::const_iterator> match;
  if (!std::regex_match(subject.begin(), subject.end(), match, regularExpressionToEvaluatePath()) ||
      match.size() != 3) {
    return DQNEXAExpression::trimmed(pathExpression_);
  }
  const std::string name = DQNEXAExpression::trimmed(match[1].str());
  const std::string functionPart = match[2].str();
  ObjectPtr dependencyResult = DQNEXADependency::resultForDependency(name, operation, error);
  if (!dependencyResult) return std::nullopt;
  // The function part is read as literal text: a "%" in it is a character.
  const std::optional<Value> value = DQNEXAExpression::evaluateFunction(dependencyResult, functionPart);
  if (value && value->string()) return *value->string();
  if (error) *error = DQNEXAError::error(DQNEXAError::kNoPath);
  return std::nullopt;
}
