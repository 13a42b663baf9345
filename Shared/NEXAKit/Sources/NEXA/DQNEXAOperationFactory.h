#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DQNEXAResultClass.h"
#include "IDQNEXAOperationDescriptor.h"

class DQNEXAAccessOperation;
class DQNEXAResolvingContext;
class DQURLAuthenticationManager;

// Registered requests by name, and the operations made from them. Access
// (GET) and put registrations are kept apart; a name is looked up among the
// access registrations first. No lock: the session uses it on the main
// thread only.
class DQNEXAOperationFactory {
 public:
  using DescriptorPtr = std::shared_ptr<IDQNEXAOperationDescriptor>;
  using Registry = std::map<std::string, DescriptorPtr>;

  // Default time-out and pause, in seconds, and retries.
  static constexpr double kDefaultConnectionTimeout = 20.0;
  static constexpr double kDefaultTimeoutBetweenRetries = 2.0;
  static constexpr std::uint64_t kDefaultRetries = 3;

  // Each answers the registered name, or nullopt when the name is empty or
  // already registered (the first registration stays). The first form allows
  // 2 retries.
  std::optional<std::string> registerSingleDataAccessOperation(const std::string& name, const std::string& path,
                                                               const std::optional<DQNEXAResultClass>& resultClass,
                                                               bool cacheSupported);
  std::optional<std::string> registerSingleDataAccessOperation(const std::string& name, const std::string& path,
                                                               const std::optional<DQNEXAResultClass>& resultClass,
                                                               std::uint64_t retriesCount, bool cacheSupported);
  std::optional<std::string> registerDependentDataAccessOperation(
      const std::string& name, const std::vector<std::string>& dependencies, const std::string& pathExpression,
      const std::optional<DQNEXAResultClass>& resultClass, bool cacheSupported);
  // Under the descriptor's own name.
  std::optional<std::string> registerDataAccessOperation(const DescriptorPtr& descriptor);
  std::optional<std::string> registerPutDataOperation(const DescriptorPtr& descriptor);

  // Access registrations only.
  bool isOperationRegisteredForName(const std::string& name) const;
  void unregisterAllRequests();

  // A new data-loading operation for an access registration, else a new put
  // operation for a put registration; nullptr for an unknown name.
  std::shared_ptr<DQNEXAAccessOperation> instantiateOperationRegisteredWithName(
      const std::string& name, const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
      const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const;
  // Operations for descriptors that are not registered (no caching).
  std::shared_ptr<DQNEXAAccessOperation> instantiateUnregisteredSingleDataAccessOperation(
      const std::string& path, const std::optional<DQNEXAResultClass>& resultClass,
      const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
      const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const;
  std::shared_ptr<DQNEXAAccessOperation> instantiateUnregisteredDataAccessOperation(
      const DescriptorPtr& descriptor, const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
      const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const;
  std::shared_ptr<DQNEXAAccessOperation> instantiateUnregisteredPutDataOperation(
      const std::string& path, const platform::Value& data,
      const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
      const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const;
  std::shared_ptr<DQNEXAAccessOperation> instantiateUnregisteredPutDataOperation(
      const DescriptorPtr& descriptor, const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
      const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const;
  std::shared_ptr<DQNEXAAccessOperation> instantiateUnregisteredPostDataOperation(
      const DescriptorPtr& descriptor, const std::shared_ptr<DQURLAuthenticationManager>& authenticationManager,
      const std::shared_ptr<DQNEXAResolvingContext>& resolvingContext) const;

  static std::string defaultSingleOperationNameForPath(const std::string& path,
                                                       const std::optional<DQNEXAResultClass>& resultClass);

  const Registry& registeredAccessOperations() const { return registeredAccessOperations_; }
  const Registry& registeredPutOperations() const { return registeredPutOperations_; }

 private:
  static std::optional<std::string> add(Registry& registry, const DescriptorPtr& descriptor);

  Registry registeredAccessOperations_;
  Registry registeredPutOperations_;
};
