#include "DQNEXAOperationFactory.h"

#include "DQNEXADataLoadingOperation.h"
#include "DQNEXADependentOperationDescriptor.h"
#include "DQNEXAPostDataOperation.h"
#include "DQNEXAPutDataOperation.h"
#include "DQNEXAPutDataOperationDescriptor.h"
#include "DQNEXASingleOperationDescriptor.h"

using namespace platform;

std::optional<std::string> DQNEXAOperationFactory::add(Registry& registry, const DescriptorPtr& descriptor) {
  if (!descriptor || descriptor->operationName().empty()) return std::nullopt;
  if (!registry.emplace(descriptor->operationName(), descriptor).second) return std::nullopt;
  return descriptor->operationName();
}

std::optional<std::string> DQNEXAOperationFactory::registerSingleDataAccessOperation(
    const std::string& name, const std::string& path, const std::optional<DQNEXAResultClass>& resultClass,
    bool cacheSupported) {
  return registerSingleDataAccessOperation(name, path, resultClass, 2, cacheSupported);
}

std::optional<std::string> DQNEXAOperationFactory::registerSingleDataAccessOperation(
    const std::string& name, const std::string& path, const std::optional<DQNEXAResultClass>& resultClass,
    std::uint64_t retriesCount, bool cacheSupported) {
  if (name.empty() || registeredAccessOperations_.contains(name)) return std::nullopt;
  return add(registeredAccessOperations_,
             std::make_shared<DQNEXASingleOperationDescriptor>(name, path, resultClass, cacheSupported,
                                                               kDefaultConnectionTimeout, retriesCount,
                                                               kDefaultTimeoutBetweenRetries));
}

std::optional<std::string> DQNEXAOperationFactory::registerDependentDataAccessOperation(
    const std::string& name, const std::vector<std::string>& dependencies, const std::string& pathExpression,
    const std::optional<DQNEXAResultClass>& resultClass, bool cacheSupported) {
  if (name.empty() || registeredAccessOperations_.contains(name)) return std::nullopt;
  return add(registeredAccessOperations_, std::make_shared<DQNEXADependentOperationDescriptor>(
                                              name, dependencies, pathExpression, resultClass, cacheSupported,
                                              kDefaultConnectionTimeout, kDefaultRetries,
                                              kDefaultTimeoutBetweenRetries));
}

std::optional<std::string> DQNEXAOperationFactory::registerDataAccessOperation(const DescriptorPtr& descriptor) {
  return add(registeredAccessOperations_, descriptor);
}

std::optional<std::string> DQNEXAOperationFactory::registerPutDataOperation(const DescriptorPtr& descriptor) {
  return add(registeredPutOperations_, descriptor);
}

bool DQNEXAOperationFactory::isOperationRegisteredForName(const std::string& name) const {
  return registeredAccessOperations_.contains(name);
}

void DQNEXAOperationFactory::unregisterAllRequests() {
  registeredAccessOperations_.clear();
  registeredPutOperations_.clear();
}

std::shared_ptr<DQNEXAAccessOperation> DQNEXAOperationFactory::instantiateOperationRegisteredWithName(
    const std::string& name, const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
    const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const {
  if (auto found = registeredAccessOperations_.find(name); found != registeredAccessOperations_.end()) {
    return instantiateUnregisteredDataAccessOperation(found->second, authenticationManager, resolvingContext);
  }
  if (auto found = registeredPutOperations_.find(name); found != registeredPutOperations_.end()) {
    return instantiateUnregisteredPutDataOperation(found->second, authenticationManager, resolvingContext);
  }
  return nullptr;
}

std::shared_ptr<DQNEXAAccessOperation> DQNEXAOperationFactory::instantiateUnregisteredSingleDataAccessOperation(
    const std::string& path, const std::optional<DQNEXAResultClass>& resultClass,
    const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
    const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const {
  auto descriptor = std::make_shared<DQNEXASingleOperationDescriptor>(
      "", path, resultClass, false, kDefaultConnectionTimeout, kDefaultRetries, kDefaultTimeoutBetweenRetries);
  return instantiateUnregisteredDataAccessOperation(descriptor, authenticationManager, resolvingContext);
}

std::shared_ptr<DQNEXAAccessOperation> DQNEXAOperationFactory::instantiateUnregisteredDataAccessOperation(
    const DescriptorPtr& descriptor, const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
    const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const {
  return std::make_shared<DQNEXADataLoadingOperation>(descriptor, authenticationManager, resolvingContext);
}

std::shared_ptr<DQNEXAAccessOperation> DQNEXAOperationFactory::instantiateUnregisteredPutDataOperation(
    const std::string& path, const Value& data,
    const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
    const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const {
  auto descriptor = std::make_shared<DQNEXAPutDataOperationDescriptor>(
      "", path, data, kDefaultConnectionTimeout, kDefaultRetries, kDefaultTimeoutBetweenRetries);
  return instantiateUnregisteredPutDataOperation(descriptor, authenticationManager, resolvingContext);
}

std::shared_ptr<DQNEXAAccessOperation> DQNEXAOperationFactory::instantiateUnregisteredPutDataOperation(
    const DescriptorPtr& descriptor, const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
    const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const {
  return std::make_shared<DQNEXAPutDataOperation>(descriptor, authenticationManager, resolvingContext);
}

std::shared_ptr<DQNEXAAccessOperation> DQNEXAOperationFactory::instantiateUnregisteredPostDataOperation(
    const DescriptorPtr& descriptor, const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
    const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const {
  return std::make_shared<DQNEXAPostDataOperation>(descriptor, authenticationManager, resolvingContext);
}

std::string DQNEXAOperationFactory::defaultSingleOperationNameForPath(
    const std::string& path, const std::optional<DQNEXAResultClass>& resultClass) {
  return DQNEXASingleOperationDescriptor::defaultNameForPath(path, resultClass);
}
