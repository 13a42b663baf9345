#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Values/Dictionary.h"
#include "Values/Value.h"

namespace platform {

// What resolving a DNS-SD service instance found: the target host name,
// unescaped (Avahi's have no trailing dot; a name with a label that holds a
// dot stays escaped, "my\.printer.local"), the port, the addresses of that
// host on the link that answered as socket-address bytes (with the port, and
// the interface as the scope of a link-local IPv6 address) and the TXT record
// (key to value bytes; keys compare without regard to case, the first entry
// of a key counts and an empty key is none).
struct ResolvedService {
  std::string hostName;
  int port = -1;
  std::vector<Data> addresses;
  Dictionary txtRecord;

  // The entry of `key` in a TXT record, in whatever case it was published;
  // nullptr when there is none.
  static const Value* txtEntry(const Dictionary& txtRecord, std::string_view key);
};

// A back end that resolves DNS-SD service instances: Avahi, or a fake in the
// process for tests.
class ServiceResolver {
 public:
  // Called on the run loop of the thread that started the resolution, in a
  // later turn, with everything found so far; `finished` on the
  // last call, after which nothing comes. A failure finishes with nothing
  // found.
  using Handler = std::function<void(const ResolvedService& found, bool finished)>;

  // One running resolution. Destroying it stops it: the handler is not called
  // afterwards. Destroyed on the thread that started it (once that thread has
  // ended, on the thread that ended it), never from inside its handler. What
  // it holds of that thread, its run loop and the handler, goes there too:
  // when it is destroyed or after the handler's last call, never on a thread
  // of the back end.
  class Resolution {
   public:
    virtual ~Resolution() = default;
  };

  // Avahi, the default back end.
  static std::shared_ptr<ServiceResolver> avahi();

  virtual ~ServiceResolver() = default;
  // Starts resolving the instance `name` of `type` in `domain` on the current
  // run loop. The resolution runs until it finished or is destroyed. Names
  // that are not UTF-8 text, or that hold a NUL, finish it with nothing.
  virtual std::unique_ptr<Resolution> resolve(const std::string& name, const std::string& type,
                                              const std::string& domain, Handler handler) = 0;
};

}  // namespace platform
