#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostLookup/Host.h"
#include "Values/Value.h"

// Finds the addresses of a host name, or the names of a host address, on the
// run loop of the thread that starts it. Made with std::make_shared (or
// resolverWithHost) and used on one thread.
//
// idle (0) -> startResolving -> in progress (1) -> lookup ended -> completed
// (2); cancel returns to idle. A completed resolver answers every later start
// at once with what it stored.
class DQHostNameResolver : public std::enable_shared_from_this<DQHostNameResolver> {
 public:
  enum ResolveState : std::uint64_t { kResolveStateIdle = 0, kResolveStateInProgress = 1, kResolveStateCompleted = 2 };
  // Called on the run loop of the thread that started the resolution, when it
  // ended (found or not); never after cancel.
  using CompletionBlock = std::function<void(DQHostNameResolver& resolver)>;

  // A resolver for a host name or a numeric address (an address is looked up
  // for its names, a name for its addresses); none for an empty host or one
  // that cannot be made.
  static std::shared_ptr<DQHostNameResolver> resolverWithHost(const std::string& host);
  // The socket address of a numeric host (IPv4, or IPv6 with its zone); none
  // for a name.
  static std::optional<platform::Data> hostAddressForName(const std::string& name);

  // `name` and `address` are what is known before the lookup.
  DQHostNameResolver(std::shared_ptr<platform::Host> host, std::optional<std::string> name,
                     std::optional<platform::Data> address);
  ~DQHostNameResolver();
  DQHostNameResolver(const DQHostNameResolver&) = delete;
  DQHostNameResolver& operator=(const DQHostNameResolver&) = delete;

  // Starts the lookup; the block may be called before this returns. A start
  // while one is in progress replaces its block.
  void startResolving(CompletionBlock block);
  void cancel();

  const std::optional<std::vector<std::string>>& hostNames() const { return hostNames_; }
  // Socket-address bytes.
  const std::optional<std::vector<platform::Data>>& IPAddresses() const { return IPAddresses_; }
  ResolveState resolveState() const { return resolveState_; }
  bool isInProgress() const { return resolveState_ == kResolveStateInProgress; }
  bool isCompleted() const { return resolveState_ == kResolveStateCompleted; }

  void completeResolvingWithSocketAddresses(const std::optional<std::vector<platform::Data>>& addresses);
  void completeResolveWithHostNames(const std::optional<std::vector<std::string>>& names);
  // Ends the lookup: removes the callback and calls the block once.
  void completeResolve();

 private:
  // The host's callback, on this resolver's run loop.
  void hostClientCallback(platform::Host& host, platform::Host::InfoType type, const platform::ErrorPtr& error);

  std::optional<std::vector<std::string>> hostNames_;
  std::optional<std::vector<platform::Data>> IPAddresses_;
  const std::shared_ptr<platform::Host> host_;
  CompletionBlock completionBlock_;
  ResolveState resolveState_ = kResolveStateIdle;
};
