#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DQContextManager.h"
#include "DQSocketTools.h"
#include "DQURL.h"

using namespace platform;

namespace {

template <class Address>
Data addressBytes(const Address& address) {
  Data bytes(sizeof(address));
  std::memcpy(bytes.data(), &address, sizeof(address));
  return bytes;
}

Data ipv4(const char* text) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, text, &address.sin_addr);
  return addressBytes(address);
}

Data ipv6(const char* text, std::uint32_t scope = 0) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_scope_id = scope;
  inet_pton(AF_INET6, text, &address.sin6_addr);
  return addressBytes(address);
}

std::string urlText(const std::optional<Url>& url) { return url ? url->absoluteString() : "<none>"; }

}  // namespace

TEST(DQURLTest, PreparesHostsByTheirKindAndWritesPortAndQueryOnlyWhenGiven) {
  EXPECT_EQ(urlText(DQURL::URLWithScheme("http", "fe80::1%en0", 80, "/", std::nullopt)), "http://[fe80::1%25en0]:80/");
  EXPECT_EQ(urlText(DQURL::URLWithScheme("http", "[::1]", -1, "/", std::string(""))), "http://[::1]/");
  EXPECT_EQ(urlText(DQURL::URLWithScheme("nexausb", "SN 12/34", "/")), "nexausb://SN%2012%2F34/");
  EXPECT_EQ(urlText(DQURL::URLWithScheme("http", "", "/")), "<none>");
  EXPECT_EQ(urlText(DQURL::URLWithScheme("http", "printer", "no slash")), "<none>");
  EXPECT_EQ(urlText(DQURL::URLWithScheme("ipp", "printer", 631, "/ipp", std::string("a=b c&d=%"))),
            "ipp://printer:631/ipp?a=b%20c&d=%25");
  EXPECT_EQ(DQURL::unescapeURLHost("SN%2012%2F34"), "SN 12/34");
  EXPECT_FALSE(DQURL::unescapeURLHost("broken%2"));
}

TEST(DQSocketToolsTest, TextsOfAddressesInOrder) {
  const Data v4 = ipv4("192.168.1.20");
  const Data v6 = ipv6("2001:db8::1");
  EXPECT_EQ(DQSocketTools::IPV4AddressStringFromAddresses({v6, v4, ipv4("10.0.0.1")}), "192.168.1.20");
  EXPECT_EQ(DQSocketTools::IPV6AddressStringsFromAddresses({v4, v6}), (std::vector<std::string>{"2001:db8::1"}));
  EXPECT_EQ(DQSocketTools::stringsFromAddresses({v6, v4}), (std::vector<std::string>{"2001:db8::1", "192.168.1.20"}));
  EXPECT_FALSE(DQSocketTools::IPV4AddressStringFromAddresses({v6}));
  EXPECT_FALSE(DQSocketTools::stringsFromAddresses({}));
}

TEST(DQSocketToolsTest, LinkLocalAddressesNameTheirInterfaceAndShortBytesGiveNothing) {
  const unsigned loopback = if_nametoindex("lo");
  ASSERT_NE(loopback, 0u);
  EXPECT_EQ(DQSocketTools::addressStringFromAddress(ipv6("fe80::1", loopback)), "fe80::1%lo");
  Data truncated = ipv6("2001:db8::1");
  truncated.resize(sizeof(sockaddr_in));
  for (const Data& bad : {truncated, Data{}, Data(64, 0xff)}) EXPECT_FALSE(DQSocketTools::addressStringFromAddress(bad));
  EXPECT_EQ(DQSocketTools::stringsFromAddresses({truncated, ipv4("10.0.0.1")}), (std::vector<std::string>{"10.0.0.1"}));
}

TEST(DQContextManagerTest, CompletionAfterTheManagerIsGoneFindsNothing) {
  auto manager = DQContextManager::make();
  auto reference = manager->addContextReferenceWithContext(Value("late"));
  manager.reset();  // the reference does not keep its manager
  EXPECT_FALSE(reference->manager());
  EXPECT_EQ(DQContextManager::removeContextReference(reference), Value());
}

