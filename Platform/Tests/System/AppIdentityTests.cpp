#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

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

// A caches folder given relative stays where the working directory of the
// call put it, and without a working directory it is refused.
TEST(AppIdentityTest, ARelativeCachesFolderIsTakenAgainstTheWorkingDirectoryOfTheCall) {
  AppIdentity& identity = AppIdentity::shared();
  // The test's working directory and the default folder come back however it ends.
  struct Restore {
    int directory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ~Restore() {
      if (directory >= 0 && ::fchdir(directory) == 0) ::close(directory);
      AppIdentity::shared().setCachesDirectory("");
    }
  } restore;
  ASSERT_GE(restore.directory, 0);
  char pattern[] = "/tmp/app-identity.XXXXXX";
  ASSERT_TRUE(mkdtemp(pattern));
  const std::filesystem::path folder = std::filesystem::canonical(pattern);
  ASSERT_EQ(::chdir(folder.c_str()), 0);

  EXPECT_FALSE(identity.setCachesDirectory("caches"));
  EXPECT_EQ(identity.cachesDirectory(), (folder / "caches").string());
  ASSERT_EQ(::chdir("/"), 0);
  EXPECT_EQ(identity.cachesDirectory(), (folder / "caches").string());

  // The working directory removed under the process.
  ASSERT_EQ(::chdir(folder.c_str()), 0);
  ASSERT_EQ(::rmdir(folder.c_str()), 0);
  const ErrorPtr refused = identity.setCachesDirectory("other");
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->is(Error::kPOSIXErrorDomain, ENOENT)) << refused->description();
  const Value* given = refused->userInfo().find(Error::kFilePathKey);
  ASSERT_TRUE(given && given->string());
  EXPECT_EQ(*given->string(), "other");
  EXPECT_EQ(identity.cachesDirectory(), (folder / "caches").string());
  // An absolute path needs no working directory.
  EXPECT_FALSE(identity.setCachesDirectory("/o/caches"));
  EXPECT_EQ(identity.cachesDirectory(), "/o/caches");
}
