#include "DQHostNameResolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include "DQLog.h"

std::shared_ptr<DQHostNameResolver> DQHostNameResolver::resolverWithHost(const std::string& host) {
  if (host.empty()) return nullptr;
  std::shared_ptr<DQHostNameResolver> resolver;
  if (auto address = hostAddressForName(host)) {
    if (auto object = platform::Host::withAddress(*address)) {
      resolver = std::make_shared<DQHostNameResolver>(std::move(object), std::nullopt, std::move(*address));
    }
  } else {
    resolver = std::make_shared<DQHostNameResolver>(platform::Host::withName(host), host, std::nullopt);
  }
  if (!resolver) com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelWarning, "[DQHostNameResolver] - Failed to create host for %@", host);
  return resolver;
}

std::optional<platform::Data> DQHostNameResolver::hostAddressForName(const std::string& name) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(result->ai_addr);
  platform::Data address(bytes, bytes + result->ai_addrlen);
  freeaddrinfo(result);
  return address;
}

DQHostNameResolver::DQHostNameResolver(std::shared_ptr<platform::Host> host, std::optional<std::string> name,
                                       std::optional<platform::Data> address)
    : host_(std::move(host)) {
  if (name) hostNames_ = std::vector<std::string>{std::move(*name)};
  if (address) IPAddresses_ = std::vector<platform::Data>{std::move(*address)};
}

DQHostNameResolver::~DQHostNameResolver() { cancel(); }

void DQHostNameResolver::startResolving(CompletionBlock block) {
  if (isCompleted()) {
    if (block) block(*this);
    return;
  }
  if (isInProgress()) {
    completionBlock_ = std::move(block);
    return;
  }
  // The host lives no longer than this resolver, so it never calls back into
  // a resolver that is gone.
  if (!host_->setClient([this](platform::Host& host, platform::Host::InfoType type, const platform::ErrorPtr& error) {
        hostClientCallback(host, type, error);
      })) {
    if (block) block(*this);
    return;
  }
  if (IPAddresses_ && hostNames_) {
    resolveState_ = kResolveStateCompleted;
  } else {
    const auto type = IPAddresses_ ? platform::Host::InfoType::Names : platform::Host::InfoType::Addresses;
    resolveState_ = host_->startInfoResolution(type) ? kResolveStateInProgress : kResolveStateCompleted;
  }
  if (resolveState_ == kResolveStateInProgress) {
    completionBlock_ = std::move(block);
    return;
  }
  host_->setClient(nullptr);
  if (block) block(*this);
}

void DQHostNameResolver::cancel() {
  if (isInProgress()) {
    completionBlock_ = nullptr;
    if (!IPAddresses_) host_->cancelInfoResolution(platform::Host::InfoType::Addresses);
    if (!hostNames_) host_->cancelInfoResolution(platform::Host::InfoType::Names);
    host_->setClient(nullptr);
  }
  resolveState_ = kResolveStateIdle;
  completionBlock_ = nullptr;
}

void DQHostNameResolver::hostClientCallback(platform::Host& host, platform::Host::InfoType type,
                                            const platform::ErrorPtr& error) {
  if (!error) {
    if (type == platform::Host::InfoType::Addresses) completeResolvingWithSocketAddresses(host.addresses());
    if (type == platform::Host::InfoType::Names) completeResolveWithHostNames(host.names());
  }
  resolveState_ = kResolveStateCompleted;
  completeResolve();
}

void DQHostNameResolver::completeResolvingWithSocketAddresses(
    const std::optional<std::vector<platform::Data>>& addresses) {
  IPAddresses_ = addresses;
}

void DQHostNameResolver::completeResolveWithHostNames(const std::optional<std::vector<std::string>>& names) {
  hostNames_ = names;
}

void DQHostNameResolver::completeResolve() {
  host_->setClient(nullptr);
  CompletionBlock block = std::move(completionBlock_);
  completionBlock_ = nullptr;
  // Whoever the block tells may let go of this resolver.
  auto keepAlive = weak_from_this().lock();
  if (block) block(*this);
}
