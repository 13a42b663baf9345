#pragma once

// A loopback printer for the session's tests: a discovery tree under
// prefixed namespaces, Basic-protected documents, statuses that answer 202
// twice (one of them behind credentials) or always, a counter, uploads, POST
// alternatives, errors, a slow path and a root document. Every request is
// recorded.

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DQNEXAResultClass.h"
#include "DQNEXASession.h"
#include "DQXMLDocument.h"
#include "RunLoop/RunLoop.h"
#include "TestSupport.h"

namespace nexatest {

inline constexpr const char* kTree =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<tree:DiscoveryTree xmlns:tree="urn:example:nexa:tree" xmlns:dd="urn:example:nexa:dd">
  <tree:Resource><dd:ResourceType>ProductConfigDyn</dd:ResourceType><dd:ResourceURI>/DevMgmt/ProductConfigDyn.xml</dd:ResourceURI></tree:Resource>
  <tree:Resource><dd:ResourceType>Status</dd:ResourceType><dd:ResourceURI>/Jobs/Status</dd:ResourceURI></tree:Resource>
</tree:DiscoveryTree>
)";

inline constexpr const char* kConfig =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<pc:ProductConfigDyn xmlns:pc="urn:example:nexa:config" xmlns:dd="urn:example:nexa:dd"><dd:MakeAndModel>Model 7</dd:MakeAndModel><dd:SerialNumber>SN-0042</dd:SerialNumber></pc:ProductConfigDyn>
)";

// The discovery tree's class: 'resourceURIFor:' names the URI of a resource
// type.
class TestTreeDocument : public DQXMLDocument, public IDQNEXASelectorTarget {
 public:
  explicit TestTreeDocument(const Passkey& key) : DQXMLDocument(key) {}
  std::optional<platform::Value> perform(std::string_view selector,
                                         const std::vector<platform::Value>& arguments) override {
    if (selector != "resourceURIFor:" || arguments.size() != 1) return std::nullopt;
    auto node = nodeForXPath("//tree:Resource[dd:ResourceType='" + arguments[0].stringValue() + "']/dd:ResourceURI");
    return node && node->stringValue() ? platform::Value(*node->stringValue()) : platform::Value();
  }
  static DQNEXAResultClass resultClass() { return DQNEXAResultClass::XMLDocumentClass<TestTreeDocument>("TestTreeDocument"); }
};

struct Request {
  std::string method;
  std::string path;
  std::string authorization;
  std::string contentType;
  std::string body;
};

class LoopbackPrinter {
 public:
  // Listens on `host` and `port` (a port of its own for 0).
  explicit LoopbackPrinter(const std::string& host = "127.0.0.1", int port = 0);
  ~LoopbackPrinter();
  int port() const { return server_.port(); }
  std::string url(const std::string& path) const { return server_.url(path); }
  platform::Url baseURL() const { return *platform::Url::fromString(url("/")); }
  std::vector<Request> requests() const;
  std::vector<std::string> paths() const;
  void setPassword(const std::string& password);
  void setTree(const std::string& tree);
  // Lets requests waiting on "/Slow" go, until holdSlow().
  void releaseSlow();
  // Makes requests on "/Slow" wait again for releaseSlow().
  void holdSlow();

 private:
  bool authorized(const httplib::Request& request, httplib::Response& response);
  void record(const httplib::Request& request);

  testsupport::HttpServer server_;
  mutable std::mutex mutex_;  // guards the fields below; server threads and the test's
  std::condition_variable slowReleased_;
  bool released_ = false;
  std::vector<Request> requests_;
  std::string password_ = "secret";
  std::string tree_ = kTree;
  int statusCalls_ = 0;
  int lockedStatusCalls_ = 0;
  int countCalls_ = 0;
  int postCalls_ = 0;
};

// Spins the main run loop (the test's thread) until `done` or the patience
// runs out, in short slices: `done` may watch another thread (the server).
inline bool pumpMain(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + testsupport::kPatience;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    platform::RunLoop::main().runUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
  }
  return done();
}
inline void pumpFor(std::chrono::milliseconds duration) {
  platform::RunLoop::main().runUntil(std::chrono::steady_clock::now() + duration);
}

// Runs the main queue's blocks queued so far: a completion queued before
// the call has run when it returns.
void drainMain();

// A resolver that never answers: the session stays resolving.
DQPrinterResolvingOperation::ResolverFactory silentResolver();

// What one request's completion received.
struct Answer {
  int calls = 0;
  bool onMain = false;
  platform::ObjectPtr result;
  platform::ErrorPtr error;
  DQNEXASession::RequestCompletion block();
  bool wait() { return pumpMain([this] { return calls > 0; }); }
  std::int64_t code() const { return error ? error->code() : 0; }
};

struct ResolveAnswer {
  int calls = 0;
  std::optional<platform::Dictionary> info;
  platform::ErrorPtr error;
  DQNEXASession::ResolveCompletion block();
  bool wait() { return pumpMain([this] { return calls > 0; }); }
  std::int64_t code() const { return error ? error->code() : 0; }
  std::vector<std::string> texts(const char* key) const;
};

// Schedules a registered request and waits for its answer.
Answer runRequest(DQNEXASession& session, const std::string& name);
// Uploads `body` to DevMgmt/Settings.xml and waits for the answer.
Answer upload(DQNEXASession& session, const std::string& body);

// Registers a request of `path` without result class or caching, asked
// again `pause` seconds after a 202.
void registerPolled(DQNEXASession& session, const std::string& name, const std::string& path, double pause);
// The "tree" and "config" registrations every transport shares.
void registerTreeAndConfig(DQNEXASession& session);
// Asserts a product configuration document.
void expectConfig(const platform::ObjectPtr& result);

}  // namespace nexatest
