#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>

#include "RunLoop/RunLoopThread.h"

typedef struct AvahiClient AvahiClient;
typedef struct AvahiGLibPoll AvahiGLibPoll;

namespace platform {

// The process's one connection to the Avahi daemon: an avahi-client, made
// when first needed and made again after the daemon or the bus went away, on
// a thread of its own ("avahi") whose run loop runs the client's watches
// (avahi-glib). avahi-client waits for each reply of the daemon, up to 25 s
// when the daemon stops answering, so only that thread ever calls it: other
// threads hand it blocks. Never destroyed; the process's end ends it.
class AvahiConnection {
 public:
  static AvahiConnection& shared();

  AvahiConnection(const AvahiConnection&) = delete;
  AvahiConnection& operator=(const AvahiConnection&) = delete;

  // Performs the block on the connection's thread, after every block
  // performed before it, and lets it go there. Any thread. What the block
  // holds of another thread's run loop must not be its last reference: the
  // run loop would be finalized here, with every source still in it.
  void perform(std::function<void()> block) const { thread_.runLoop().perform(std::move(block)); }

  // The rest only on the connection's thread.

  // The client, made now when there is none; nullptr when the daemon cannot
  // be reached.
  AvahiClient* client();
  // `lost` is called once, when the client fails (the daemon or the bus went
  // away); the objects made on it may then only be freed. Gives the token
  // that stops the watch.
  std::uint64_t watch(std::function<void()> lost);
  void unwatch(std::uint64_t token) { watchers_.erase(token); }

  // The daemon lets one client hold a limited number of objects (1024 by
  // default). `retry` waits until objects of the client are freed; it answers
  // whether it took the room (false when it no longer needs it).
  void waitForRoom(std::function<bool()> retry) { waiting_.push_back(std::move(retry)); }
  // Objects of the client were freed: the first waiting block that still
  // needs the room gets it, in a later turn.
  void roomMade();

 private:
  friend struct AvahiConnectionCallbacks;
  AvahiConnection();
  // The client went away: its watchers hear, and it is freed in a later turn.
  void clientFailed(AvahiClient* client);

  RunLoopThread thread_;
  AvahiGLibPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  std::map<std::uint64_t, std::function<void()>> watchers_;
  std::uint64_t nextToken_ = 0;
  std::deque<std::function<bool()>> waiting_;
};

}  // namespace platform
