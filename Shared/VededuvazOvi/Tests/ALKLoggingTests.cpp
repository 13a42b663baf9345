#include <gtest/gtest.h>

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ALKASLLogger.h"
#include "ALKLog.h"
#include "ALKLogger.h"
#include "RecordingLogger.h"
#include "TemporaryDirectory.h"
#include "Values/Value.h"

namespace {

std::string contentsOf(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A logger whose system log goes to a socket nobody listens on, so that the
// tests see only the file.
std::shared_ptr<ALKASLLogger> fileLogger(const std::string& path, std::uint64_t level) {
  auto logger = std::make_shared<ALKASLLogger>("/nonexistent/log");
  logger->setFilePath(path);
  logger->setLogLevel(level);
  return logger;
}

class Printer : public platform::Object {};

// Counts how often its description is asked for.
struct Expensive {
  mutable int described = 0;
  std::string description() const {
    ++described;
    return "expensive";
  }
};

}  // namespace

TEST(ALKASLLoggerTest, SetsUpAtTheFirstLineThatPassesTheLevelAndKeepsThatFilter) {
  TemporaryDirectory directory;
  const std::string path = directory.file("alk.log");
  auto logger = fileLogger(path, 0);
  logger->logError("dropped at the default level");
  // Nothing was set up for lines that no output takes, so a later level works.
  EXPECT_EQ(logger->state(), ALKASLLogger::State::Fresh);
  EXPECT_FALSE(std::filesystem::exists(path));
  logger->setLogLevel(kALKLogLevelInfo);
  logger->logVerbose("not within the filter");
  logger->logInfo("100%d done");
  // From the set-up on, changes of level and path do not reach the outputs.
  logger->setLogLevel(kALKLogLevelVerbose);
  logger->setFilePath(directory.file("other.log"));
  logger->logVerbose("still filtered");
  logger->flush();
  EXPECT_EQ(logger->state(), ALKASLLogger::State::Connected);
  EXPECT_TRUE(logger->client());
  const std::string text = contentsOf(path);
  EXPECT_NE(text.find("100%d done"), std::string::npos) << text;
  EXPECT_EQ(text.find("filter"), std::string::npos) << text;
  EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(directory.file("other.log")));

  // Closing silences it for good.
  logger->close();
  EXPECT_FALSE(logger->wouldLog(kALKLogLevelError));
  EXPECT_FALSE(logger->client());
  logger->logError("after close");
  logger->flush();
  EXPECT_EQ(contentsOf(path).find("after close"), std::string::npos);
}

TEST(ALKASLLoggerTest, ReportsALogFileItCannotOpenAndKeepsLogging) {
  auto logger = fileLogger("/nonexistent/alk.log", kALKLogLevelVerbose);
  testing::internal::CaptureStderr();
  logger->logVerbose("first");
  const std::string console = testing::internal::GetCapturedStderr();
  EXPECT_NE(console.find("Could not enable writing to log file {error: 2, file: /nonexistent/alk.log}"),
            std::string::npos)
      << console;
  EXPECT_TRUE(logger->wouldLog(kALKLogLevelVerbose));
}

TEST(ALKASLLoggerTest, WritesToStandardErrorOnlyWhileTraced) {
  EXPECT_FALSE(ALKASLLogger::shouldLogToStdErr());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Traced by the parent from here on.
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(2);
    _exit(ALKASLLogger::shouldLogToStdErr() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "ptrace is not allowed here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ALKLogTest, SubmitsTaggedLinesAtLevelFour) {
  RecordingLoggerScope recorder;
  auto printer = std::make_shared<Printer>();
  const int line = __LINE__ + 1;
  ALKLog::warning(printer.get(), "Tray %d {%@}", 2, platform::Value("empty"));
  const auto lines = recorder->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, platform::format("<WARNING> [Printer(%p)]:%d Tray 2 {empty}", printer.get(), line));
  EXPECT_EQ(lines[0].level, 4u);

  // Nothing is formatted for a line that would not be written.
  recorder->setEnabled(false);
  Expensive expensive;
  ALKLog::debug(printer.get(), "%@", expensive);
  EXPECT_EQ(expensive.described, 0);
  recorder->setEnabled(true);
  ALKLog::info(printer.get(), "%@", expensive);
  EXPECT_EQ(expensive.described, 1);
}
