#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Errors/Error.h"
#include "Values/Value.h"

typedef struct _GInetAddress GInetAddress;

namespace platform {

// A host known by a name or by a socket address, whose addresses or names are
// looked up with GLib's resolver (the platform's host object). A host is used
// on one thread: a lookup runs on that thread's run loop and its result comes
// back there. GLib calls back even after a cancel, so each lookup keeps a
// state of its own that GLib owns and that forgets the host when the lookup is
// cancelled or the host goes away.
class Host {
 public:
  enum class InfoType { Addresses = 0, Names = 1 };
  // Called on the run loop of the thread that started the lookup, once per
  // lookup, never after it was cancelled or the host destroyed. `error` is
  // null when the lookup succeeded. The host may be destroyed inside.
  using Client = std::function<void(Host& host, InfoType type, const ErrorPtr& error)>;

  static std::shared_ptr<Host> withName(std::string name);
  // nullptr for bytes that are no IPv4 or IPv6 socket address.
  static std::shared_ptr<Host> withAddress(const Data& address);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Installs the callback (nullptr removes it); true when installed.
  bool setClient(Client client);
  // Starts looking up the host's addresses (from its name) or names (from
  // its address) on the current run loop; false, with the reason, when there
  // is nothing to look up from or that lookup is already running.
  bool startInfoResolution(InfoType type, ErrorPtr* error = nullptr);
  // Stops a running lookup; its callback never comes. Safe when none runs.
  void cancelInfoResolution(InfoType type);

  // What a finished lookup found (socket-address bytes in the resolver's
  // order; names), or what the host was made with; none otherwise.
  const std::optional<std::vector<Data>>& addresses() const { return addresses_; }
  const std::optional<std::vector<std::string>>& names() const { return names_; }

 private:
  struct Lookup;
  Host() = default;
  static void lookupFinished(void* source, void* result, void* data);

  std::optional<std::vector<Data>> addresses_;
  std::optional<std::vector<std::string>> names_;
  GInetAddress* address_ = nullptr;  // the address a name lookup starts from
  Client client_;
  // The running lookup of each type; owned by GLib's callback.
  std::array<Lookup*, 2> lookups_{nullptr, nullptr};
};

}  // namespace platform
