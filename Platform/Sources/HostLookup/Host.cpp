#include "HostLookup/Host.h"

#include <gio/gio.h>

#include <cerrno>
#include <utility>

namespace platform {
namespace {

ErrorPtr errorFrom(GError* error) {
  ErrorPtr result = Error::make(g_quark_to_string(error->domain), error->code,
                                {{Error::kLocalizedDescriptionKey, std::string(error->message)}});
  g_error_free(error);
  return result;
}

ErrorPtr invalidArgument(const char* what) {
  return Error::make(Error::kPOSIXErrorDomain, EINVAL, {{Error::kLocalizedDescriptionKey, std::string(what)}});
}

// The socket-address bytes of an address, port 0.
Data nativeBytes(GInetAddress* address) {
  GSocketAddress* socketAddress = g_inet_socket_address_new(address, 0);
  Data bytes(static_cast<std::size_t>(g_socket_address_get_native_size(socketAddress)));
  if (!g_socket_address_to_native(socketAddress, bytes.data(), bytes.size(), nullptr)) bytes.clear();
  g_object_unref(socketAddress);
  return bytes;
}

}  // namespace

// One lookup as GLib's callback sees it. `host` is cleared when the lookup is
// cancelled or the host destroyed; the callback then only frees the result.
// Touched on the host's thread only.
struct Host::Lookup {
  Host* host;
  InfoType type;
  GCancellable* cancellable = g_cancellable_new();
  ~Lookup() { g_object_unref(cancellable); }
};

std::shared_ptr<Host> Host::withName(std::string name) {
  std::shared_ptr<Host> host(new Host());
  host->names_ = std::vector<std::string>{std::move(name)};
  return host;
}

std::shared_ptr<Host> Host::withAddress(const Data& address) {
  GSocketAddress* socketAddress = g_socket_address_new_from_native(const_cast<std::uint8_t*>(address.data()),
                                                                   address.size());
  if (!socketAddress) return nullptr;
  if (!G_IS_INET_SOCKET_ADDRESS(socketAddress)) {
    g_object_unref(socketAddress);
    return nullptr;
  }
  std::shared_ptr<Host> host(new Host());
  host->address_ = G_INET_ADDRESS(g_object_ref(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(socketAddress))));
  host->addresses_ = std::vector<Data>{address};
  g_object_unref(socketAddress);
  return host;
}

Host::~Host() {
  cancelInfoResolution(InfoType::Addresses);
  cancelInfoResolution(InfoType::Names);
  if (address_) g_object_unref(address_);
}

bool Host::setClient(Client client) {
  client_ = std::move(client);
  return true;
}

bool Host::startInfoResolution(InfoType type, ErrorPtr* error) {
  const auto index = static_cast<std::size_t>(type);
  if (lookups_[index]) {
    if (error) *error = invalidArgument("A lookup of this kind is running");
    return false;
  }
  const bool byName = type == InfoType::Addresses;
  if (byName ? !names_ || names_->empty() : !address_) {
    if (error) *error = invalidArgument(byName ? "The host has no name" : "The host has no address");
    return false;
  }
  auto* lookup = new Lookup{this, type};
  lookups_[index] = lookup;
  GResolver* resolver = g_resolver_get_default();
  // Both lookups call back on the thread-default context, the run loop of
  // this thread.
  if (byName) {
    g_resolver_lookup_by_name_async(resolver, names_->front().c_str(), lookup->cancellable,
                                    reinterpret_cast<GAsyncReadyCallback>(&Host::lookupFinished), lookup);
  } else {
    g_resolver_lookup_by_address_async(resolver, address_, lookup->cancellable,
                                       reinterpret_cast<GAsyncReadyCallback>(&Host::lookupFinished), lookup);
  }
  g_object_unref(resolver);
  return true;
}

void Host::cancelInfoResolution(InfoType type) {
  Lookup*& lookup = lookups_[static_cast<std::size_t>(type)];
  if (!lookup) return;
  lookup->host = nullptr;
  g_cancellable_cancel(lookup->cancellable);
  lookup = nullptr;
}

// On the run loop of the thread that started the lookup.
void Host::lookupFinished(void* source, void* result, void* data) {
  std::unique_ptr<Lookup> lookup(static_cast<Lookup*>(data));
  GResolver* resolver = G_RESOLVER(source);
  GError* gerror = nullptr;
  std::optional<std::vector<Data>> addresses;
  std::optional<std::vector<std::string>> names;
  if (lookup->type == InfoType::Addresses) {
    GList* list = g_resolver_lookup_by_name_finish(resolver, G_ASYNC_RESULT(result), &gerror);
    if (list) {
      addresses.emplace();
      for (GList* item = list; item; item = item->next) {
        Data bytes = nativeBytes(G_INET_ADDRESS(item->data));
        if (!bytes.empty()) addresses->push_back(std::move(bytes));
      }
      g_resolver_free_addresses(list);
    }
  } else {
    gchar* name = g_resolver_lookup_by_address_finish(resolver, G_ASYNC_RESULT(result), &gerror);
    if (name) {
      names = std::vector<std::string>{name};
      g_free(name);
    }
  }
  ErrorPtr error = gerror ? errorFrom(gerror) : nullptr;
  Host* host = lookup->host;
  const InfoType type = lookup->type;
  lookup.reset();
  if (!host) return;  // cancelled, or the host is gone
  host->lookups_[static_cast<std::size_t>(type)] = nullptr;
  if (!error) {
    if (addresses) host->addresses_ = std::move(addresses);
    if (names) host->names_ = std::move(names);
  }
  if (!host->client_) return;
  Client client = host->client_;  // the host may go away inside
  client(*host, type, error);
}

}  // namespace platform
