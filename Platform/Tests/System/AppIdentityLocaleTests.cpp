#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

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

TEST(AppIdentityLocaleTest, TakesTheFirstNonEmptyLocaleVariable) {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i) {
    if (const char* value = std::getenv(names[i])) saved[i] = value;
  }
  auto set = [&](const char* all, const char* messages, const char* lang) {
    const char* values[] = {all, messages, lang};
    for (int i = 0; i < 3; ++i) setenv(names[i], values[i], 1);
  };
  set("", "de_DE.UTF-8@euro", "fr_FR");
  EXPECT_EQ(AppIdentity::shared().localeIdentifier(), "de_DE");
  set("C", "de_DE", "fr_FR");
  EXPECT_FALSE(AppIdentity::shared().localeIdentifier());
  set("", "", "");
  EXPECT_FALSE(AppIdentity::shared().localeIdentifier());
  for (int i = 0; i < 3; ++i) {
    if (saved[i]) {
      setenv(names[i], saved[i]->c_str(), 1);
    } else {
      unsetenv(names[i]);
    }
  }
}
