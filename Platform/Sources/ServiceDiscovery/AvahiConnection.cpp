#include "ServiceDiscovery/AvahiConnection.h"

#include <avahi-client/client.h>
#include <avahi-glib/glib-watch.h>
#include <glib.h>

#include <utility>

namespace platform {

struct AvahiConnectionCallbacks {
  static void clientChanged(AvahiClient* client, AvahiClientState state, void* data) {
    if (state == AVAHI_CLIENT_FAILURE) static_cast<AvahiConnection*>(data)->clientFailed(client);
  }
};

AvahiConnection& AvahiConnection::shared() {
  // Left to the process's end: its thread may be waiting for a daemon that
  // stopped answering, which no exit should wait for.
  static AvahiConnection* const connection = new AvahiConnection;
  return *connection;
}

AvahiConnection::AvahiConnection() : thread_("avahi") {
  perform([this] { poll_ = avahi_glib_poll_new(RunLoop::current().context(), G_PRIORITY_DEFAULT); });
}

AvahiClient* AvahiConnection::client() {
  if (!client_) {
    int error = 0;
    client_ = avahi_client_new(avahi_glib_poll_get(poll_), static_cast<AvahiClientFlags>(0), &AvahiConnectionCallbacks::clientChanged, this,
                               &error);
  }
  return client_;
}

std::uint64_t AvahiConnection::watch(std::function<void()> lost) {
  const std::uint64_t token = ++nextToken_;
  watchers_.emplace(token, std::move(lost));
  return token;
}

void AvahiConnection::roomMade() {
  if (waiting_.empty()) return;
  perform([this] {
    while (!waiting_.empty()) {
      auto retry = std::move(waiting_.front());
      waiting_.pop_front();
      if (retry()) return;
    }
  });
}

void AvahiConnection::clientFailed(AvahiClient* client) {
  // A client that fails while it is being made is freed by avahi_client_new.
  if (client != client_) return;
  client_ = nullptr;
  auto watchers = std::exchange(watchers_, {});
  for (auto& [token, lost] : watchers) lost();
  waiting_.clear();  // every lookup that waited was watched, and has finished
  // Not from inside the client's own callback.
  perform([client] { avahi_client_free(client); });
}

}  // namespace platform
