// What one tagged log line costs the thread that logs it: at the default
// level (nothing is written, nothing is formatted) and at level 4 with a log
// file (formatted on the caller, written on the logger's queue).
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "ALKASLLogger.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "ALKLogger.h"
#include "Values/Dictionary.h"

namespace {

class Tracker : public platform::Object {};

const platform::Value& properties() {
  static const platform::Value value(platform::Dictionary{
      {"eventCategory", "SoftwareDownload"}, {"eventAction", "Download"}, {"eventValue", 42}});
  return value;
}

// The shared logger at level 4 with a file, for the life of the scope.
class FileLoggerScope {
 public:
  FileLoggerScope() {
    char pattern[] = "/tmp/VededuvazOviBench.XXXXXX";
    directory_ = mkdtemp(pattern) ? pattern : "/tmp";
    logger_ = std::make_shared<ALKASLLogger>("/nonexistent/log");  // the file only
    logger_->setLogLevel(kALKLogLevelVerbose);
    logger_->setFilePath(directory_ + "/bench.log");
    ALKLogger::setSharedLogger(logger_);
  }
  ~FileLoggerScope() {
    logger_->flush();
    ALKLogger::setSharedLogger(nullptr);
    logger_->close();
    unlink((directory_ + "/bench.log").c_str());
    rmdir(directory_.c_str());
  }
  ALKASLLogger& logger() { return *logger_; }

 private:
  std::string directory_;
  std::shared_ptr<ALKASLLogger> logger_;
};

}  // namespace

static void BM_TaggedLineAtDefaultLevel(benchmark::State& state) {
  ALKLogger::setSharedLogger(nullptr);
  Tracker tracker;
  for (auto _ : state) ALKLog::info(&tracker, "Set property {%@ : %@}", "properties", properties());
}
BENCHMARK(BM_TaggedLineAtDefaultLevel);

static void BM_IndentGuardAtDefaultLevel(benchmark::State& state) {
  ALKLogger::setSharedLogger(nullptr);
  for (auto _ : state) ALKLogIndent indent;
}
BENCHMARK(BM_IndentGuardAtDefaultLevel);

// The caller's share only: the queue drains after the timed loop.
static void BM_TaggedLineAtLevel4WithFile(benchmark::State& state) {
  FileLoggerScope scope;
  Tracker tracker;
  for (auto _ : state) ALKLog::info(&tracker, "Set property {%@ : %@}", "properties", properties());
}
BENCHMARK(BM_TaggedLineAtLevel4WithFile);

// Every line written to the file before the next batch: the whole cost.
static void BM_TaggedLineAtLevel4WithFileWritten(benchmark::State& state) {
  FileLoggerScope scope;
  Tracker tracker;
  int pending = 0;
  for (auto _ : state) {
    ALKLog::info(&tracker, "Set property {%@ : %@}", "properties", properties());
    if (++pending == 256) {
      scope.logger().flush();
      pending = 0;
    }
  }
  scope.logger().flush();
}
BENCHMARK(BM_TaggedLineAtLevel4WithFileWritten);
