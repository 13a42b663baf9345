#include <gtest/gtest.h>

#include "Values/Url.h"

using namespace platform;

TEST(UrlTest, ReadsComponentsAsThePlatformDoes) {
  auto url = Url::fromString("HTTP://user@[fe80::1%25eth0]:8080/a%20b?x=1#top");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "http");
  EXPECT_TRUE(url->hasScheme("Http"));
  EXPECT_EQ(url->host(), "fe80::1%eth0");
  EXPECT_EQ(url->port(), 8080);
  EXPECT_EQ(url->path(), "/a%20b");
  EXPECT_EQ(url->decodedPath(), "/a b");
  EXPECT_EQ(url->query(), "x=1");
  EXPECT_EQ(url->fragment(), "top");
  EXPECT_EQ(url->pathAndQuery(), "/a%20b?x=1");
  EXPECT_EQ(url->absoluteString(), "HTTP://user@[fe80::1%25eth0]:8080/a%20b?x=1#top");
}

TEST(UrlTest, DecodesHostsAndKeepsEscapedSerials) {
  EXPECT_EQ(Url::fromString("nexausb://SN%2F1/")->host(), "SN/1");
  EXPECT_EQ(Url::fromString("http://h%2541/")->host(), "h%41");
  EXPECT_EQ(Url::fromString("http://[::1]/")->host(), "::1");
  EXPECT_EQ(Url::fromString("http://h/")->port(), -1);
  EXPECT_EQ(Url::fromString("http://h:0/")->port(), 0);
}

TEST(UrlTest, RefusesWhatIsNotAnAbsoluteUrl) {
  EXPECT_FALSE(Url::fromString(""));
  EXPECT_FALSE(Url::fromString("/relative/path"));
  EXPECT_FALSE(Url::fromString("http://a b/"));
  EXPECT_FALSE(Url::fromString("http://h/%zz"));
  EXPECT_FALSE(Url::fromString("http://h:99999/"));
}

TEST(UrlTest, ResolvesRelativeReferences) {
  auto base = Url::fromString("http://printer:80/DevMgmt/DiscoveryTree.xml");
  EXPECT_EQ(base->resolve("/Other/Doc.xml")->absoluteString(), "http://printer:80/Other/Doc.xml");
  EXPECT_EQ(base->resolve("Sibling.xml")->absoluteString(), "http://printer:80/DevMgmt/Sibling.xml");
  EXPECT_EQ(base->resolve("https://x/")->absoluteString(), "https://x/");
}

TEST(UrlTest, ResolvingKeepsTheZoneOfAnIPv6LiteralEscaped) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://[fe80::1%25eth0]/", "http://[fe80::1%25eth0]/DevMgmt/DiscoveryTree.xml"},
      {"http://u@[fe80::1%25eth0]:8080/a/b", "http://u@[fe80::1%25eth0]:8080/a/DevMgmt/DiscoveryTree.xml"},
      // An escape within the zone is not doubled.
      {"http://[fe80::1%25a%2525b]/", "http://[fe80::1%25a%2525b]/DevMgmt/DiscoveryTree.xml"},
      {"http://[::1]:631/x", "http://[::1]:631/DevMgmt/DiscoveryTree.xml"},
  };
  for (const auto& [base, joined] : cases) {
    SCOPED_TRACE(base);
    const auto resolved = Url::fromString(base)->resolve("DevMgmt/DiscoveryTree.xml");
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->absoluteString(), joined);
    EXPECT_EQ(resolved->host(), Url::fromString(base)->host());
  }
  EXPECT_EQ(Url::fromString("http://printer/")->resolve("//[fe80::2%25lo]/z")->absoluteString(),
            "http://[fe80::2%25lo]/z");
}

TEST(UrlTest, MakesAndReadsFileUrls) {
  auto url = Url::fileUrl("/tmp/a b.xml");
  ASSERT_TRUE(url);
  EXPECT_TRUE(url->isFileUrl());
  EXPECT_EQ(url->absoluteString(), "file:///tmp/a%20b.xml");
  EXPECT_EQ(url->filePath(), "/tmp/a b.xml");
  EXPECT_FALSE(Url::fileUrl("relative"));
}

TEST(UrlTest, PercentCodingRoundTrips) {
  EXPECT_EQ(Url::percentEncode("a b/c", "/"), "a%20b/c");
  EXPECT_EQ(Url::percentDecode("a%20b%2Fc"), "a b/c");
  EXPECT_FALSE(Url::percentDecode("%4"));
  EXPECT_FALSE(Url::percentDecode("%g0"));
}
