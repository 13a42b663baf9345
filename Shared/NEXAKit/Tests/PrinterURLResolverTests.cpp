#include <gtest/gtest.h>

#include <netinet/in.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "DQDirectPrinterURLResolver.h"
#include "DQHostNameResolver.h"
#include "DQNetServicePrinterURLResolver.h"
#include "DQNetworkPrinterURLResolver.h"
#include "DQPrinterURLParser.h"
#include "DQSocketTools.h"
#include "Simulation/ServiceDiscovery/FakeServiceBackend.h"
#include "TestSupport.h"

using namespace platform;
using testsupport::kPatience;
using Resolver = DQPrinterURLResolver;

namespace {

Url url(const std::string& text) {
  auto parsed = Url::fromString(text);
  EXPECT_TRUE(parsed) << text;
  return parsed ? *parsed : *Url::fromString("about:blank");
}

// Starts the resolver and keeps what it reports.
struct Outcome {
  int reports = 0;
  std::optional<Dictionary> result;
  bool started = false;
  Resolver::CompletionBlock block() {
    return [this](const std::optional<Dictionary>& r) {
      ++reports;
      result = r;
    };
  }
  void start(Resolver& resolver) { started = resolver.startResolving(block()); }
  bool wait() { return RunLoop::current().runUntil([&] { return reports > 0; }, kPatience); }
  // The texts of an array entry of the result.
  std::vector<std::string> texts(const char* key) const {
    std::vector<std::string> out;
    const Value value = result ? result->objectForKey(key) : Value();
    if (!value.array()) return out;
    for (const auto& item : *value.array()) out.push_back(item.url() ? item.url()->absoluteString() : item.stringValue());
    return out;
  }
};

void spinBriefly() { RunLoop::current().runUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(200)); }

}  // namespace

TEST(PrinterURLResolverChoiceTest, SchemeChoosesTheResolver) {
  auto kind = [](const std::string& text) -> std::string {
    auto resolver = Resolver::resolverWithPrinterURI(url(text));
    if (!resolver) return "none";
    if (std::dynamic_pointer_cast<DQDirectPrinterURLResolver>(resolver)) return "direct";
    if (std::dynamic_pointer_cast<DQNetServicePrinterURLResolver>(resolver)) return "dnssd";
    if (std::dynamic_pointer_cast<DQNetworkPrinterURLResolver>(resolver)) return "network";
    return "base";
  };
  EXPECT_EQ(kind("file:///tmp/printer"), "direct");
  EXPECT_EQ(kind("NEXAUSB://SN1/"), "direct");
  EXPECT_EQ(kind("Usb://Zarn/Printer?serial=SN1"), "direct");
  EXPECT_EQ(kind("usb://Zarn/Printer"), "none");
  EXPECT_EQ(kind("DNSSD://Printer._ipp._tcp.local"), "dnssd");
  EXPECT_EQ(kind("ippusb://Printer._ipp._tcp.local"), "dnssd");
  EXPECT_EQ(kind("ipp://printer.example/ipp"), "network");
  EXPECT_EQ(Resolver::resolverWithPrinterURI(std::nullopt), nullptr);
  EXPECT_TRUE(Resolver::resolverWithPrinterURI(url("ippusb://a.b.c"))->isUSBPrinter());
  EXPECT_FALSE(Resolver::resolverWithPrinterURI(url("dnssd://a.b.c"))->isUSBPrinter());
}

TEST(PrinterURLResolverChoiceTest, DirectResolversAnswerAtOnce) {
  Outcome file;
  file.start(*Resolver::resolverWithPrinterURI(url("file:///tmp/printer")));
  EXPECT_EQ(file.reports, 1);
  EXPECT_EQ(file.result->objectForKey("ConnectionType").integerValue(), 3);
  EXPECT_EQ(file.texts("AccessURLs"), std::vector<std::string>{"file:///tmp/printer"});

  Outcome nexa;
  auto resolver = Resolver::resolverWithPrinterURI(url("nexausb://SN%2042/"));
  nexa.start(*resolver);
  EXPECT_TRUE(nexa.started);
  EXPECT_EQ(nexa.result->objectForKey("ConnectionType").integerValue(), 1);
  EXPECT_EQ(nexa.texts("AccessURLs"), std::vector<std::string>{"nexausb://SN%2042/"});
  EXPECT_EQ(nexa.result->objectForKey("USBSerialNumber").stringValue(), "SN 42");
  EXPECT_TRUE(resolver->startResolving(nullptr));
}

TEST(PrinterURLResolverChoiceTest, USBSerialNumberIsDecodedOnceOnItsWayToTheDevice) {
  Outcome usb;
  usb.start(*Resolver::resolverWithPrinterURI(url("usb://Zarn/Printer?serial=AB%25CD%20E&interface=1")));
  ASSERT_EQ(usb.reports, 1);
  EXPECT_EQ(usb.result->objectForKey("USBSerialNumber").stringValue(), "AB%CD E");
  EXPECT_EQ(usb.texts("AccessURLs"), std::vector<std::string>{"nexausb://AB%25CD%20E/"});

  // The USB side finds its printer by the serial number the "nexausb" URL names.
  const std::vector<std::string> attached{"AB%25CD%20E", "AB%CD E", "ABCD"};
  const std::string wanted = DQPrinterURLParser::serialNumberFromNEXAUSBURL(url(usb.texts("AccessURLs").front()));
  EXPECT_EQ(std::count(attached.begin(), attached.end(), wanted), 1);
  EXPECT_EQ(wanted, "AB%CD E");

  // Any of "?", ",", " ", "%", "3", "F" before "serial=" will do.
  EXPECT_EQ(DQPrinterURLParser::serialNumberFromUSBURL(url("usb://Zarn/3serial=X")), "X");
  EXPECT_EQ(DQPrinterURLParser::serialNumberFromUSBURL(url("usb://Zarn/Pserial=X")), std::nullopt);
}

TEST(PrinterURLResolverChoiceTest, BonjourNameKeepsItsDotsAndSpaces) {
  std::string name, type, domain;
  ASSERT_TRUE(DQPrinterURLParser::parseBonjourURL(url("dnssd://My.Printer%20One._ipp._tcp.local"), &name, &type,
                                                  &domain));
  EXPECT_EQ(name, "My.Printer One");
  EXPECT_EQ(type, "_ipp._tcp");
  EXPECT_EQ(domain, "local");
  ASSERT_TRUE(DQPrinterURLParser::parseBonjourURL(url("dnssd://P._ipp._tcp.local."), &name, &type, &domain));
  EXPECT_EQ(domain, "local.");  // the last label only, with the final dot
  EXPECT_FALSE(DQPrinterURLParser::parseBonjourURL(url("dnssd://_ipp._tcp"), &name, &type, &domain));
  EXPECT_FALSE(DQPrinterURLParser::parseBonjourURL(url("dnssd:/path"), nullptr, nullptr, nullptr));

  // The type is the last "_name._tcp" or "_name._udp" pair: the domain is all
  // that follows, "local" when nothing does.
  using Parts = std::tuple<std::string, std::string, std::string>;
  const auto parts = [](const std::string& uri) {
    std::string name, type, domain;
    EXPECT_TRUE(DQPrinterURLParser::parseBonjourURL(url(uri), &name, &type, &domain)) << uri;
    return Parts{name, type, domain};
  };
  EXPECT_EQ(parts("dnssd://Wide%20Printer._ipp._tcp.example.com"), Parts("Wide Printer", "_ipp._tcp", "example.com"));
  EXPECT_EQ(parts("dnssd://Printer._ipp._tcp"), Parts("Printer", "_ipp._tcp", "local"));
  EXPECT_EQ(parts("dnssd://A._ipp._tcp.b._ipps._UDP.x.y.z"), Parts("A._ipp._tcp.b", "_ipps._UDP", "x.y.z"));
  // Without such a pair, the last label is the domain.
  EXPECT_EQ(parts("dnssd://Name.ipp.tcp.local"), Parts("Name", "ipp.tcp", "local"));

  // The name is UTF-8 text, whole: no stray byte, no NUL to cut it short.
  ASSERT_TRUE(DQPrinterURLParser::parseBonjourURL(url("dnssd://Caf%C3%A9._ipp._tcp.local"), &name, &type, &domain));
  EXPECT_EQ(name, "Caf\u00E9");
  EXPECT_FALSE(DQPrinterURLParser::parseBonjourURL(url("dnssd://Bad%FFName._ipp._tcp.local"), &name, &type, &domain));
  EXPECT_FALSE(DQPrinterURLParser::parseBonjourURL(url("dnssd://P%00evil._ipp._tcp.local"), &name, &type, &domain));
}

TEST(HostNameResolverTest, NameResolvesToItsIPv4AddressOnHTTP) {
  Outcome outcome;
  auto resolver = Resolver::resolverWithPrinterURI(url("ipp://localhost:631/ipp/print"));
  outcome.start(*resolver);
  EXPECT_TRUE(outcome.started);
  EXPECT_EQ(outcome.reports, 0);
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.texts("AccessURLs"), std::vector<std::string>{"http://127.0.0.1/"});
  EXPECT_EQ(outcome.texts("HostNames"), std::vector<std::string>{"localhost"});
  const auto addresses = outcome.texts("IPAddresses");
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());

  // A completed lookup answers every later start at once.
  Outcome again;
  again.start(*resolver);
  EXPECT_EQ(again.reports, 1);
  EXPECT_EQ(again.result, outcome.result);
}

TEST(HostNameResolverTest, AddressLiteralsAreLookedUpForTheirNames) {
  Outcome outcome;
  auto resolver = Resolver::resolverWithPrinterURI(url("http://127.0.0.1:8080/x"));
  outcome.start(*resolver);
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.texts("AccessURLs"), std::vector<std::string>{"http://127.0.0.1/"});
  EXPECT_EQ(outcome.texts("HostNames"), std::vector<std::string>{"localhost"});
  EXPECT_EQ(outcome.texts("IPAddresses"), std::vector<std::string>{"127.0.0.1"});

  // An IPv6 literal keeps its zone and starts with its address and no name.
  const auto address = DQHostNameResolver::hostAddressForName("fe80::1%lo");
  ASSERT_TRUE(address);
  EXPECT_EQ(DQSocketTools::addressStringFromAddress(*address), "fe80::1%lo");
  auto literal = DQHostNameResolver::resolverWithHost("::1");
  ASSERT_NE(literal, nullptr);
  EXPECT_FALSE(literal->hostNames());
  EXPECT_EQ(DQSocketTools::stringsFromAddresses(*literal->IPAddresses()), std::vector<std::string>{"::1"});
  EXPECT_EQ(DQHostNameResolver::hostAddressForName("printer.local"), std::nullopt);
  EXPECT_EQ(DQHostNameResolver::resolverWithHost(""), nullptr);
}

TEST(HostNameResolverTest, NameThatDoesNotResolveStillGivesItsURL) {
  // A label longer than DNS allows fails before any query leaves the machine.
  const std::string name = std::string(70, 'a') + ".invalid";
  Outcome outcome;
  auto resolver = Resolver::resolverWithPrinterURI(url("http://" + name + "/"));
  outcome.start(*resolver);
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.texts("AccessURLs"), std::vector<std::string>{"http://" + name + "/"});
  EXPECT_FALSE(outcome.result->contains("IPAddresses"));

  // A URI without a host gives nothing at once.
  Outcome hostless;
  hostless.start(*Resolver::resolverWithPrinterURI(url("urn:printer")));
  EXPECT_FALSE(hostless.started);
  EXPECT_EQ(hostless.reports, 1);
  EXPECT_FALSE(hostless.result);
}

TEST(HostNameResolverTest, CancelSilencesTheResolverEvenWithItsAnswerQueued) {
  auto resolver = Resolver::resolverWithPrinterURI(url("http://localhost/"));
  Outcome outcome;
  outcome.start(*resolver);  // GLib queues the answer for "localhost" at once
  Outcome second;
  second.start(*resolver);
  EXPECT_FALSE(second.started);  // one lookup at a time
  resolver->cancel();
  spinBriefly();
  EXPECT_EQ(outcome.reports + second.reports, 0);

  // Cancelled, it starts afresh; destroyed, it is silent.
  outcome.start(*resolver);
  EXPECT_TRUE(outcome.wait());
  Outcome dropped;  // the resolver goes at the end of the statement
  dropped.start(*Resolver::resolverWithPrinterURI(url("http://127.0.0.1/")));
  spinBriefly();
  EXPECT_EQ(dropped.reports, 0);
}

namespace {

template <class Address>
Data bytes(const Address& address) {
  const auto* begin = reinterpret_cast<const std::uint8_t*>(&address);
  return Data(begin, begin + sizeof(address));
}

ResolvedService service(const std::string& hostName) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(0x0A630001);
  sockaddr_in6 global{};
  global.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "fd99::1", &global.sin6_addr);
  sockaddr_in6 linkLocal = global;
  inet_pton(AF_INET6, "fe80::1", &linkLocal.sin6_addr);
  linkLocal.sin6_scope_id = 1;  // lo
  return {hostName, 8631, {bytes(v4), bytes(global), bytes(linkLocal)}, Dictionary{{"usb_SN", Data{'S', '9'}}}};
}

class NetServiceResolverTest : public ::testing::Test {
 protected:
  std::shared_ptr<DQNetServicePrinterURLResolver> resolver(const std::string& uri, double timeout = 30) {
    return std::make_shared<DQNetServicePrinterURLResolver>(url(uri), backend, timeout);
  }
  std::shared_ptr<FakeServiceBackend> backend = std::make_shared<FakeServiceBackend>();
  testsupport::CapturedLog log;
};

}  // namespace

TEST_F(NetServiceResolverTest, HostNameThenIPv6ThenIPv4WithoutTheRemotePort) {
  backend->addService("Office Printer", "_ipp._tcp", "local", service("printer.local"));
  auto dnssd = resolver("dnssd://Office%20Printer._ipp._tcp.local");
  Outcome outcome;
  outcome.start(*dnssd);
  EXPECT_TRUE(outcome.started);
  ASSERT_TRUE(outcome.wait());
  const std::vector<std::string> urls{"http://printer.local/", "http://[fd99::1]/", "http://[fe80::1%25lo]/",
                                      "http://10.99.0.1/"};
  EXPECT_EQ(outcome.texts("AccessURLs"), urls);
  EXPECT_EQ(outcome.texts("HostNames"), std::vector<std::string>{"printer.local"});
  EXPECT_EQ(outcome.texts("IPAddresses"), (std::vector<std::string>{"fd99::1", "fe80::1%lo", "10.99.0.1"}));
  EXPECT_EQ(log.lines().back().first, kDQLogLevelInfo);
  EXPECT_NE(log.lines().back().second.find("[DQNetServicePrinterURLResolver] - Got URLs: "), std::string::npos);

  // The TXT record names the USB printer behind an IPP-over-USB service.
  auto usb = dnssd->processIPPUSBServiceInfo();
  ASSERT_TRUE(usb);
  EXPECT_EQ(usb->objectForKey("USBSerialNumber").stringValue(), "S9");
}

// A host name that a URL's host would read as another host, or not at all,
// gives no URL; the address URLs still follow and "HostNames" keeps it.
TEST_F(NetServiceResolverTest, HostNamesAURLCannotCarryGiveOnlyTheAddressURLs) {
  for (const std::string& host : std::vector<std::string>{"my\\.printer.local", "a:b@10.99.0.66/x.local", "p?q.local",
                                                         "p#q.local", "[fd99::1].local", "p%41.local", "p\x01q.local"}) {
    backend->addService("Odd", "_ipp._tcp", "local", service(host));
    Outcome outcome;
    auto odd = resolver("dnssd://Odd._ipp._tcp.local");
    outcome.start(*odd);
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.texts("AccessURLs"),
              (std::vector<std::string>{"http://[fd99::1]/", "http://[fe80::1%25lo]/", "http://10.99.0.1/"}))
        << host;
    EXPECT_EQ(outcome.texts("HostNames"), std::vector<std::string>{host});
  }
  // "usb_SN" in another case names the USB printer all the same.
  ResolvedService upperCase = service("p.local");
  upperCase.txtRecord = Dictionary{{"USB_SN", Data{'U', '1'}}};
  backend->addService("Upper", "_ipp._tcp", "local", upperCase);
  Outcome upper;
  auto ippusb = resolver("ippusb://Upper._ipp._tcp.local");
  upper.start(*ippusb);
  ASSERT_TRUE(upper.wait());
  const auto usb = ippusb->processIPPUSBServiceInfo();
  ASSERT_TRUE(usb);
  EXPECT_EQ(usb->objectForKey("USBSerialNumber").stringValue(), "U1");
}

TEST_F(NetServiceResolverTest, LocalServiceKeepsItsPortInAnyCaseWithOrWithoutTheDot) {
  for (const std::string host : {"localhost", "LocalHost."}) {
    backend->addService("IPP USB", "_ipp._tcp", "local", service(host));
    Outcome outcome;
    auto ippusb = resolver("ippusb://IPP%20USB._ipp._tcp.local");
    outcome.start(*ippusb);
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.texts("AccessURLs").front(), "http://" + host + ":8631/");
    EXPECT_EQ(outcome.texts("AccessURLs").back(), "http://10.99.0.1:8631/");
  }
}

TEST_F(NetServiceResolverTest, FailureTimeOutAndMissingNameGiveNothing) {
  backend->addService("Gone", "_ipp._tcp", "local", std::nullopt);
  Outcome failed;
  auto gone = resolver("dnssd://Gone._ipp._tcp.local");
  failed.start(*gone);
  ASSERT_TRUE(failed.wait());
  EXPECT_FALSE(failed.result);

  Outcome silent;
  auto nobody = resolver("dnssd://Silent._ipp._tcp.local", 0.05);
  silent.start(*nobody);
  ASSERT_TRUE(silent.wait());
  EXPECT_FALSE(silent.result);

  Outcome unnamed;
  unnamed.start(*resolver("dnssd://printer"));
  EXPECT_FALSE(unnamed.started);
  EXPECT_EQ(unnamed.reports, 1);
  EXPECT_FALSE(unnamed.result);
}

TEST_F(NetServiceResolverTest, CancelSilencesAQueuedAnswerAndAllowsAnotherStart) {
  backend->addService("Printer", "_ipp._tcp", "local", service("printer.local"));
  auto dnssd = resolver("dnssd://Printer._ipp._tcp.local");
  Outcome outcome;
  outcome.start(*dnssd);
  Outcome overlapping;
  overlapping.start(*dnssd);
  EXPECT_FALSE(overlapping.started);
  dnssd->cancel();
  spinBriefly();
  EXPECT_EQ(outcome.reports + overlapping.reports, 0);

  outcome.start(*dnssd);
  EXPECT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.reports, 1);
  EXPECT_EQ(backend->resolutionCount(), 2);
}
