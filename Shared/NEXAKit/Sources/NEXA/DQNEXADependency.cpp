#include "DQNEXADependency.h"

#include "DQNEXAAccessOperation.h"
#include "DQNEXAError.h"

using namespace platform;

std::shared_ptr<DQNEXAAccessOperation> DQNEXADependency::dependencyFor(const DQNEXAAccessOperation& operation,
                                                                       const std::string& name) {
  for (const auto& dependency : operation.dependencies()) {
    auto access = std::dynamic_pointer_cast<DQNEXAAccessOperation>(dependency);
    if (!access) continue;
    if (name.empty() || access->operationDescriptor()->operationName() == name) return access;
  }
  return nullptr;
}

ObjectPtr DQNEXADependency::resultForDependency(const std::string& name, const DQNEXAAccessOperation& operation,
                                                ErrorPtr* error) {
  auto dependency = dependencyFor(operation, name);
  if (!dependency) {
    if (error) *error = DQNEXAError::error(DQNEXAError::kDependencyMissing);
    return nullptr;
  }
  if (auto result = dependency->result()) return result;
  if (error) *error = dependency->error();
  return nullptr;
}
