#include "ServiceDiscovery/AvahiServiceBackend.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <glib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "RunLoop/CallerSide.h"
#include "RunLoop/RunLoop.h"
#include "ServiceDiscovery/AvahiConnection.h"

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

// The list holds the record's strings in their order on the wire. A key
// counts at its first occurrence only, in whatever case, and an empty key is
// none (RFC 6763, 6.4); keys keep the case they were published in.
Dictionary txtRecord(AvahiStringList* list) {
  Dictionary record;
  for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
    char* key = nullptr;
    char* value = nullptr;
    size_t size = 0;
    if (avahi_string_list_get_pair(item, &key, &value, &size) != 0) continue;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(value);
    if (*key && !ResolvedService::txtEntry(record, key)) record.set(key, Data(bytes, bytes + (value ? size : 0)));
    avahi_free(key);
    avahi_free(value);
  }
  return record;
}

// Avahi writes a host name as escaped labels: "\." and "\\" for a dot and a
// backslash inside a label, "\DDD" for any byte ("caf\195\169-host.local").
// The name is its labels joined by dots, unless a label holds a dot or a NUL,
// which the joined name could not tell from a separator or carry at all: such
// a name, and one whose escapes are malformed, stays as Avahi wrote it.
std::string hostNameText(const char* escaped) {
  std::string name;
  for (const char* next = escaped; *next; ++next) {
    if (*next != '\\') {
      name += *next;
      continue;
    }
    ++next;
    int byte = static_cast<unsigned char>(*next);
    if (g_ascii_isdigit(next[0])) {
      if (!g_ascii_isdigit(next[1]) || !g_ascii_isdigit(next[2])) return escaped;
      byte = (next[0] - '0') * 100 + (next[1] - '0') * 10 + (next[2] - '0');
      next += 2;
    }
    if (byte == 0 || byte == '.' || byte > 255) return escaped;
    name += static_cast<char>(byte);
  }
  return name;
}

bool sameHostName(const std::string& one, const std::string& other) {
  return g_ascii_strcasecmp(one.c_str(), other.c_str()) == 0;
}

// What goes to the daemon goes over D-Bus as text: libdbus aborts the process
// on a string that is not UTF-8, and a NUL would cut the name short.
bool isText(const std::string& text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

// The caller's side of a lookup: the connection's thread only ever reports
// through it, and the caller's thread lets it go at the release of the
// resolution or with the last report.
using Caller = CallerSide<ServiceResolver::Handler>;

// Posts what was found so far to the caller's side; the finished report is
// the last. Any thread.
void report(Caller& caller, ResolvedService found, bool finished) {
  auto block = [found = std::move(found), finished](const ServiceResolver::Handler& handler) {
    handler(found, finished);
  };
  finished ? caller.performLast(std::move(block)) : caller.perform(std::move(block));
}

// One resolution on the connection's thread: an Avahi resolver per address
// family (an Avahi resolver reports one address). The first answer gives the
// host, port and TXT record; an answer of the other family adds its address
// only when it names the same host on the same interface, so that twins on
// two links are never joined into one.
class AvahiLookup : public std::enable_shared_from_this<AvahiLookup> {
 public:
  AvahiLookup(std::string name, std::string type, std::string domain, std::shared_ptr<Caller> caller)
      : name_(std::move(name)), type_(std::move(type)), domain_(std::move(domain)), caller_(std::move(caller)) {}

  // The caller's side, on its thread: nothing of the lookup is reported any
  // more, and the connection's thread lets it go when it comes to it.
  void cancel() {
    cancelled_ = true;
    AvahiConnection::shared().perform([self = shared_from_this()] { self->release(); });
  }

  // The rest on the connection's thread.

  // Answers whether it asked the daemon.
  bool start() {
    if (cancelled_ || finished_) return false;
    AvahiConnection& connection = AvahiConnection::shared();
    AvahiClient* client = connection.client();
    if (client && !token_) token_ = connection.watch([self = shared_from_this()] { self->finish(); });
    const std::array<AvahiProtocol, 2> protocols{AVAHI_PROTO_INET6, AVAHI_PROTO_INET};
    for (std::size_t i = 0; i < families_.size(); ++i) {
      Family& family = families_[i];
      family.owner = this;
      // Each call below waits for the daemon: one cancelled meanwhile makes
      // no more of them.
      if (client && !cancelled_) {
        // Avahi answers A records over IPv4 only, unless told otherwise, and
        // AAAA records over both.
        const AvahiProtocol transport = protocols[i] == AVAHI_PROTO_INET ? AVAHI_PROTO_INET : AVAHI_PROTO_UNSPEC;
        family.resolver = avahi_service_resolver_new(client, AVAHI_IF_UNSPEC, transport, name_.c_str(),
                                                     type_.c_str(), domain_.c_str(), protocols[i],
                                                     static_cast<AvahiLookupFlags>(0), &resolverEvent, &family);
        if (!family.resolver && avahi_client_errno(client) == AVAHI_ERR_TOO_MANY_OBJECTS) {
          // The client holds all the daemon allows: start again once other
          // lookups let theirs go.
          freeResolvers();
          connection.waitForRoom([self = shared_from_this()] { return self->start(); });
          return true;
        }
      }
      family.answered = family.resolver == nullptr;
    }
    answered();
    return true;
  }

 private:
  struct Family {
    AvahiLookup* owner = nullptr;
    AvahiServiceResolver* resolver = nullptr;
    bool answered = false;
  };

  // The instance that the first answer described.
  struct Instance {
    AvahiIfIndex interface;
    std::string hostName;  // as Avahi wrote it
  };

  static void resolverEvent(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                            const char*, const char*, const char*, const char* hostName, const AvahiAddress* address,
                            std::uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* data) {
    auto* family = static_cast<Family*>(data);
    AvahiLookup* self = family->owner;
    if (family->answered) return;  // later changes of the records
    family->answered = true;
    if (event == AVAHI_RESOLVER_FOUND && address && hostName) self->take(interface, hostName, *address, port, txt);
    self->answered();
  }

  void take(AvahiIfIndex interface, const char* hostName, const AvahiAddress& address, std::uint16_t port,
            AvahiStringList* txt) {
    if (!instance_) {
      instance_ = Instance{interface, hostName};
      found_.hostName = hostNameText(hostName);
      found_.port = port;
      found_.txtRecord = txtRecord(txt);
    } else if (instance_->interface != interface || !sameHostName(instance_->hostName, hostName)) {
      return;  // another instance of the name: a twin on another link, or another host
    }
    found_.addresses.push_back(socketAddress(address, interface, port));
  }

  void answered() {
    for (const auto& family : families_) {
      if (!family.answered) {
        if (!cancelled_) report(*caller_, found_, false);
        return;
      }
    }
    finish();
  }

  // Every family answered, or the client went away: what was found is all.
  void finish() {
    if (finished_) return;
    release();
    if (!cancelled_) report(*caller_, std::move(found_), true);
  }

  void release() {
    finished_ = true;
    if (freeResolvers()) AvahiConnection::shared().roomMade();
    for (auto& family : families_) family.answered = true;
    if (token_) AvahiConnection::shared().unwatch(*token_);
    token_.reset();
  }

  // Answers whether there was one.
  bool freeResolvers() {
    bool freed = false;
    for (auto& family : families_) {
      if (!family.resolver) continue;
      avahi_service_resolver_free(family.resolver);
      family.resolver = nullptr;
      freed = true;
    }
    return freed;
  }

  const std::string name_;
  const std::string type_;
  const std::string domain_;
  const std::shared_ptr<Caller> caller_;
  std::atomic<bool> cancelled_{false};
  std::array<Family, 2> families_;  // IPv6, then IPv4
  std::optional<std::uint64_t> token_;
  std::optional<Instance> instance_;
  ResolvedService found_;
  bool finished_ = false;
};

// The caller's handle on a lookup.
class AvahiResolution : public ServiceResolver::Resolution {
 public:
  AvahiResolution(std::shared_ptr<Caller> caller, std::shared_ptr<AvahiLookup> lookup)
      : caller_(std::move(caller)), lookup_(std::move(lookup)) {}
  ~AvahiResolution() override {
    caller_->letGo();
    if (lookup_) lookup_->cancel();
  }

 private:
  std::shared_ptr<Caller> caller_;
  std::shared_ptr<AvahiLookup> lookup_;
};

}  // namespace

std::shared_ptr<ServiceResolver> ServiceResolver::avahi() { return std::make_shared<AvahiServiceBackend>(); }

std::unique_ptr<ServiceResolver::Resolution> AvahiServiceBackend::resolve(const std::string& name,
                                                                          const std::string& type,
                                                                          const std::string& domain,
                                                                          Handler handler) {
  auto caller = std::make_shared<Caller>(RunLoop::current(), std::move(handler));
  // Names that cannot go to the daemon never reach the connection.
  if (!isText(name) || !isText(type) || !isText(domain)) {
    report(*caller, {}, true);
    return std::make_unique<AvahiResolution>(std::move(caller), nullptr);
  }
  auto lookup = std::make_shared<AvahiLookup>(name, type, domain, caller);
  AvahiConnection::shared().perform([lookup] { lookup->start(); });
  return std::make_unique<AvahiResolution>(std::move(caller), std::move(lookup));
}

}  // namespace platform
