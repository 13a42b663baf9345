// What a session makes of the transport: broken or oversized answers, the
// passes of one exchange, and a printer at a link-local IPv6 address.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <map>

#include "DQHTTPStreamError.h"
#include "DQNEXADataLoadingOperation.h"
#include "DQNEXAError.h"
#include "DQNEXAResolvingContext.h"
#include "DQNEXASingleOperationDescriptor.h"
#include "DQNetServicePrinterURLResolver.h"
#include "DQNetworkHTTPStreamProvider.h"
#include "DQURLDataAccumulationConsumer.h"
#include "NEXATestSupport.h"
#include "Simulation/ServiceDiscovery/FakeServiceBackend.h"

using namespace platform;
using namespace nexatest;

namespace {

std::shared_ptr<DQNEXASingleOperationDescriptor> descriptor(const std::string& path) {
  return std::make_shared<DQNEXASingleOperationDescriptor>(path, path, std::nullopt, false, 20.0, 3, 0.01);
}

// The request target of a request head ("GET /x HTTP/1.1" gives "/x").
std::string target(const std::string& head) {
  const std::size_t start = head.find(' ') + 1;
  return head.substr(start, head.find(' ', start) - start);
}

}  // namespace

TEST(NEXATransportTest, FramingFaultsAndBodiesPastTheLimitAreAskedOnceTransportFailuresThrice) {
  const std::map<std::string, std::string> replies = {
      {"/Empty", ""},
      {"/Letters", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\nhello world!"},
      {"/Chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nabc\r\n0\r\n\r\n"},
      {"/Huge", "HTTP/1.1 200 OK\r\nContent-Length: 209715200\r\n\r\n"},
  };
  testsupport::RawServer printer([&](int socket, const std::string& head) {
    testsupport::RawServer::sendAll(socket, replies.at(target(head)));
  });
  auto session = DQNEXASession::make(std::nullopt, Url::fromString(printer.url("/")), false, false, nullptr);
  for (const auto& [path, expectedRequests, streamCode] : {std::tuple{"/Empty", 3, DQHTTPStreamError::kConnectionFailure},
                                                          std::tuple{"/Letters", 1, DQHTTPStreamError::kUnparsableResponse},
                                                          std::tuple{"/Chunk", 1, DQHTTPStreamError::kUnparsableResponse},
                                                          std::tuple{"/Huge", 1, DQHTTPStreamError::kUnparsableResponse}}) {
    SCOPED_TRACE(path);
    Answer answer;
    session->scheduleRequestWithDescriptor(descriptor(path), answer.block());
    ASSERT_TRUE(answer.wait());
    EXPECT_EQ(answer.code(), DQNEXAError::kResultNotBuilt);
    ASSERT_TRUE(answer.error && answer.error->underlyingError());
    EXPECT_TRUE(answer.error->underlyingError()->is(DQHTTPStreamError::domain(), streamCode));
    int requests = 0;
    for (const auto& head : printer.requests()) requests += target(head) == path;
    EXPECT_EQ(requests, expectedRequests);
  }
}

namespace {

// A consumer that notes whether the consumer of the pass before it was
// still held when its own answer came.
class PassConsumer : public DQURLDataAccumulationConsumer {
 public:
  PassConsumer(std::weak_ptr<DQURLConnectionConsumer> previous, int* heldTogether)
      : previous_(std::move(previous)), heldTogether_(heldTogether) {}
  void streamDidReceiveResponse(IDQHTTPStream& stream) override {
    if (!previous_.expired()) ++*heldTogether_;
    DQURLDataAccumulationConsumer::streamDidReceiveResponse(stream);
  }

 private:
  std::weak_ptr<DQURLConnectionConsumer> previous_;
  int* heldTogether_;
};

class WatchedPassesOperation : public DQNEXADataLoadingOperation {
 public:
  using DQNEXADataLoadingOperation::DQNEXADataLoadingOperation;
  std::shared_ptr<DQURLConnectionConsumer> processConnectionWithURL(const Url& url, ErrorPtr* error) override {
    return performRequest(
        [&] {
          auto consumer = std::make_shared<PassConsumer>(previous, &heldTogether);
          previous = consumer;
          ++passes;
          return DQURLConnection::connectionWithGETRequest(url, streamProvider(), consumer);
        },
        error);
  }
  std::weak_ptr<DQURLConnectionConsumer> previous;
  int passes = 0;
  int heldTogether = 0;
};

}  // namespace

TEST(NEXATransportTest, APassLetsThePreviousAnswerGoBeforeItsOwnComes) {
  // "Jobs/Status" answers 202 twice, each time with a body, then 200.
  LoopbackPrinter printer;
  auto context = std::make_shared<DQNEXAResolvingContext>();
  context->finishWithBaseNEXAURL(printer.baseURL(), DQNetworkHTTPStreamProvider::initUsingProxy(false, true));
  auto operation = std::make_shared<WatchedPassesOperation>(descriptor("Jobs/Status"), nullptr, context);
  operation->start();
  EXPECT_FALSE(operation->error());
  EXPECT_EQ(operation->passes, 3);
  EXPECT_EQ(operation->heldTogether, 0);
}

namespace {

// The index of the interface that holds the IPv6 address `text`; 0 for none.
unsigned interfaceHolding(const char* text) {
  in6_addr wanted{};
  inet_pton(AF_INET6, text, &wanted);
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (ifaddrs* entry = list; entry && !index; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET6) continue;
    const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
    if (IN6_ARE_ADDR_EQUAL(&address->sin6_addr, &wanted)) index = if_nametoindex(entry->ifa_name);
  }
  freeifaddrs(list);
  return index;
}

}  // namespace

// scripts/link-local-sandbox.sh runs this test in a network namespace of its
// own whose interface holds fe80::1; elsewhere it is skipped.
TEST(NEXALinkLocalTest, DNSSDPrinterAtALinkLocalAddressIsReachedThroughTheZoneOfItsURL) {
  const unsigned interface = interfaceHolding("fe80::1");
  if (interface == 0) GTEST_SKIP() << "no interface holds fe80::1 here (scripts/link-local-sandbox.sh gives one)";
  char name[IF_NAMESIZE] = {};
  ASSERT_TRUE(if_indextoname(interface, name));
  // A service of another host: its URLs carry no port.
  LoopbackPrinter printer("::", 80);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "fe80::1", &address.sin6_addr);
  address.sin6_scope_id = interface;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  auto backend = std::make_shared<FakeServiceBackend>();
  backend->addService("Printer", "_http._tcp", "local", ResolvedService{"", 80, {Data(bytes, bytes + sizeof(address))}, {}});
  auto session = DQNEXASession::make(Url::fromString("dnssd://Printer._http._tcp.local"), std::nullopt, false, false,
                                     nullptr);
  session->setResolverFactory([backend](const std::optional<Url>& uri) {
    return std::make_shared<DQNetServicePrinterURLResolver>(*uri, backend);
  });
  registerTreeAndConfig(*session);

  ResolveAnswer resolved;
  session->schedulePrinterResolve(resolved.block());
  ASSERT_TRUE(resolved.wait());
  EXPECT_FALSE(resolved.error) << resolved.error->description();
  EXPECT_EQ(resolved.texts("AccessURLs"), std::vector<std::string>{"http://[fe80::1%25" + std::string(name) + "]/"});
  EXPECT_EQ(printer.paths(), std::vector<std::string>{"GET /DevMgmt/DiscoveryTree.xml"});
  // A request joins its path to that URL.
  const Answer tree = runRequest(*session, "tree");
  EXPECT_FALSE(tree.error);
  EXPECT_TRUE(std::dynamic_pointer_cast<TestTreeDocument>(tree.result));
  EXPECT_EQ(printer.paths().size(), 2u);
}
