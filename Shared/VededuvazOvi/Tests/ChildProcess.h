#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

// Runs the disabled test `testName` ("Suite.DISABLED_Name") of this test
// binary in a child process, with `environment` ("NAME=value") added. Spawned,
// not forked: the parent's GLib threads would not survive a fork. -1 when the
// spawn fails.
inline pid_t spawnTestChild(const std::string& testName, const std::vector<std::string>& environment) {
  char self[4096] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length <= 0) return -1;
  std::vector<std::string> arguments = {self, "--gtest_also_run_disabled_tests", "--gtest_filter=" + testName};
  std::vector<std::string> variables = environment;
  for (char** entry = environ; *entry; ++entry) variables.emplace_back(*entry);
  const auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> list;
    for (auto& text : strings) list.push_back(text.data());
    list.push_back(nullptr);
    return list;
  };
  auto argv = pointers(arguments);
  auto envp = pointers(variables);
  pid_t pid = -1;
  return ::posix_spawn(&pid, self, nullptr, nullptr, argv.data(), envp.data()) == 0 ? pid : -1;
}

// The child's wait status.
inline int waitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}
