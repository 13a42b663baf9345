#include <gtest/gtest.h>

#include <cstdlib>

#include "System/AppIdentity.h"

using namespace platform;

TEST(AppIdentityTest, DefaultsToTheProgramNameUntilOverridden) {
  AppIdentity& identity = AppIdentity::shared();
  identity.setBundleIdentifier("com.example.tools");
  identity.setShortVersion("2.1");
  EXPECT_EQ(identity.bundleIdentifier(), "com.example.tools");
  EXPECT_EQ(identity.shortVersion(), "2.1");
  EXPECT_EQ(identity.name(), "PlatformTests");

  identity.setBundleIdentifier("");
  identity.setShortVersion("");
  EXPECT_EQ(identity.bundleIdentifier(), "PlatformTests");
  EXPECT_EQ(identity.shortVersion(), "0");
}

TEST(AppIdentityTest, DirectoriesFollowTheEnvironmentUntilOverridden) {
  AppIdentity& identity = AppIdentity::shared();
  const char* names[] = {"HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "TMPDIR"};
  std::string saved[4];
  bool present[4];
  for (int i = 0; i < 4; ++i) {
    const char* value = std::getenv(names[i]);
    present[i] = value != nullptr;
    saved[i] = value ? value : "";
    unsetenv(names[i]);
  }

  setenv("HOME", "/home/tester", 1);
  setenv("XDG_STATE_HOME", "relative/state", 1);  // only absolute XDG paths count
  EXPECT_EQ(identity.cachesDirectory(), "/home/tester/.cache");
  EXPECT_EQ(identity.logsDirectory(), "/home/tester/.local/state/log");
  EXPECT_EQ(identity.temporaryDirectory(), "/tmp");

  // Read again on every call.
  setenv("XDG_CACHE_HOME", "/var/cache/tester", 1);
  setenv("XDG_STATE_HOME", "/var/state", 1);
  setenv("TMPDIR", "/run/tmp", 1);
  EXPECT_EQ(identity.cachesDirectory(), "/var/cache/tester");
  EXPECT_EQ(identity.logsDirectory(), "/var/state/log");
  EXPECT_EQ(identity.temporaryDirectory(), "/run/tmp");

  identity.setCachesDirectory("/o/caches");
  identity.setTemporaryDirectory("/o/tmp");
  EXPECT_EQ(identity.cachesDirectory(), "/o/caches");
  EXPECT_EQ(identity.temporaryDirectory(), "/o/tmp");
  identity.setCachesDirectory("");
  identity.setTemporaryDirectory("");
  EXPECT_EQ(identity.cachesDirectory(), "/var/cache/tester");
  EXPECT_EQ(identity.temporaryDirectory(), "/run/tmp");

  for (int i = 0; i < 4; ++i) present[i] ? setenv(names[i], saved[i].c_str(), 1) : unsetenv(names[i]);
}
