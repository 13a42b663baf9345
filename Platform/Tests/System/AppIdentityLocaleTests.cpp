#include <gtest/gtest.h>

#include "System/AppIdentity.h"

using platform::AppIdentity;

TEST(AppIdentityLocaleTest, StripsCodesetAndModifier) {
  EXPECT_EQ(AppIdentity::localeIdentifierFromName("de_DE.UTF-8"), "de_DE");
  EXPECT_EQ(AppIdentity::localeIdentifierFromName("sr_RS@latin"), "sr_RS");
  EXPECT_EQ(AppIdentity::localeIdentifierFromName("en_US"), "en_US");
  for (const char* none : {"", "C", "POSIX", "C.UTF-8", ".UTF-8"}) {
    EXPECT_FALSE(AppIdentity::localeIdentifierFromName(none)) << none;
  }
}

TEST(AppIdentityLocaleTest, TellsGivenValuesFromDefaults) {
  auto& identity = AppIdentity::shared();
  EXPECT_FALSE(identity.hasName());
  EXPECT_FALSE(identity.hasShortVersion());
  EXPECT_FALSE(identity.executablePath().empty());
  identity.setShortVersion("1.0");
  identity.setLocaleIdentifier("fr_FR");
  EXPECT_TRUE(identity.hasShortVersion());
  EXPECT_EQ(identity.localeIdentifier(), "fr_FR");
  identity.setShortVersion("");
  identity.setLocaleIdentifier("");
}
