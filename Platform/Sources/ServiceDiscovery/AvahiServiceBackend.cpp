#include "ServiceDiscovery/AvahiServiceBackend.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-glib/glib-watch.h>
#include <glib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <utility>

#include "RunLoop/RunLoop.h"

namespace platform {
namespace {

Data socketAddress(const AvahiAddress& address, AvahiIfIndex interface, std::uint16_t port) {
  if (address.proto == AVAHI_PROTO_INET) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = address.data.ipv4.address;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&in);
    return Data(bytes, bytes + sizeof(in));
  }
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(port);
  std::memcpy(&in6.sin6_addr, address.data.ipv6.address, sizeof(in6.sin6_addr));
  if (IN6_IS_ADDR_LINKLOCAL(&in6.sin6_addr) && interface > 0) in6.sin6_scope_id = static_cast<std::uint32_t>(interface);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&in6);
  return Data(bytes, bytes + sizeof(in6));
}

// The list holds the record's strings in their order on the wire; a key
// counts at its first occurrence only (RFC 6763, 6.4).
Dictionary txtRecord(AvahiStringList* list) {
  Dictionary record;
  for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
    char* key = nullptr;
    char* value = nullptr;
    size_t size = 0;
    if (avahi_string_list_get_pair(item, &key, &value, &size) != 0) continue;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(value);
    if (!record.find(key)) record.set(key, Data(bytes, bytes + (value ? size : 0)));
    avahi_free(key);
    avahi_free(value);
  }
  return record;
}

// Avahi writes a host name as escaped labels: "\." and "\\" for a dot and a
// backslash inside a label, "\DDD" for every byte outside printable ASCII
// ("caf\195\169-host.local"). The name itself is what the labels hold,
// joined by dots; a name Avahi's unescaping refuses is kept as written.
std::string unescapedHostName(const char* escaped) {
  std::string name;
  const char* rest = escaped;
  char label[AVAHI_LABEL_MAX];
  while (*rest) {
    if (!avahi_unescape_label(&rest, label, sizeof(label))) return escaped;
    if (!name.empty()) name += '.';
    name += label;
  }
  return name;
}

// What goes to the daemon goes over D-Bus as text: libdbus aborts the process
// on a string that is not UTF-8, and a NUL would cut the name short.
bool isText(const std::string& text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

// All of it runs on the thread that started it, from Avahi's GLib source.
class AvahiResolution : public ServiceResolver::Resolution {
 public:
  explicit AvahiResolution(ServiceResolver::Handler handler) : handler_(std::move(handler)) {}
  ~AvahiResolution() override {
    for (auto& family : families_) {
      if (family.resolver) avahi_service_resolver_free(family.resolver);
    }
    if (client_) avahi_client_free(client_);
    if (poll_) avahi_glib_poll_free(poll_);
  }

  void start(const std::string& name, const std::string& type, const std::string& domain) {
    // Names that cannot go to the daemon make no client, and so no resolver.
    if (isText(name) && isText(type) && isText(domain)) {
      poll_ = avahi_glib_poll_new(RunLoop::current().context(), G_PRIORITY_DEFAULT);
      int error = 0;
      client_ = avahi_client_new(avahi_glib_poll_get(poll_), static_cast<AvahiClientFlags>(0), &clientChanged, this,
                                 &error);
    }
    const std::array<AvahiProtocol, 2> protocols{AVAHI_PROTO_INET6, AVAHI_PROTO_INET};
    for (std::size_t i = 0; i < families_.size(); ++i) {
      Family& family = families_[i];
      family.owner = this;
      if (client_) {
        // Avahi answers A records over IPv4 only, unless told otherwise, and
        // AAAA records over both.
        const AvahiProtocol transport = protocols[i] == AVAHI_PROTO_INET ? AVAHI_PROTO_INET : AVAHI_PROTO_UNSPEC;
        family.resolver = avahi_service_resolver_new(client_, AVAHI_IF_UNSPEC, transport, name.c_str(),
                                                     type.c_str(), domain.c_str(), protocols[i],
                                                     static_cast<AvahiLookupFlags>(0), &resolverEvent, &family);
      }
      family.answered = family.resolver == nullptr;
    }
    report();
  }

 private:
  struct Family {
    AvahiResolution* owner = nullptr;
    AvahiServiceResolver* resolver = nullptr;
    bool answered = false;
  };

  void report() {
    if (finished_) return;
    bool all = true;
    for (const auto& family : families_) all = all && family.answered;
    finished_ = all;
    handler_(found_, all);
  }

  static void clientChanged(AvahiClient*, AvahiClientState state, void* data) {
    auto* self = static_cast<AvahiResolution*>(data);
    if (state != AVAHI_CLIENT_FAILURE) return;
    for (auto& family : self->families_) family.answered = true;
    self->report();
  }

  static void resolverEvent(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                            const char*, const char*, const char*, const char* hostName, const AvahiAddress* address,
                            std::uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* data) {
    auto* family = static_cast<Family*>(data);
    AvahiResolution* self = family->owner;
    if (family->answered) return;  // later changes of the records
    family->answered = true;
    if (event == AVAHI_RESOLVER_FOUND && address) {
      self->found_.hostName = hostName ? unescapedHostName(hostName) : "";
      self->found_.port = port;
      self->found_.addresses.push_back(socketAddress(*address, interface, port));
      self->found_.txtRecord = txtRecord(txt);
    }
    self->report();
  }

  ServiceResolver::Handler handler_;
  AvahiGLibPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  std::array<Family, 2> families_;  // IPv6, then IPv4
  ResolvedService found_;
  bool finished_ = false;
};

}  // namespace

std::shared_ptr<ServiceResolver> ServiceResolver::avahi() { return std::make_shared<AvahiServiceBackend>(); }

std::unique_ptr<ServiceResolver::Resolution> AvahiServiceBackend::resolve(const std::string& name,
                                                                          const std::string& type,
                                                                          const std::string& domain,
                                                                          Handler handler) {
  auto resolution = std::make_unique<AvahiResolution>(std::move(handler));
  resolution->start(name, type, domain);
  return resolution;
}

}  // namespace platform
