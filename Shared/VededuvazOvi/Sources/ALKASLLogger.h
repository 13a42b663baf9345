#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "Dispatch/DispatchQueue.h"
#include "IALKLogger.h"
#include "Values/Object.h"

// The default logger: writes to the system log under the ident
// "VededuvazOvi.<address>", and also to a log file when one is set and to
// standard error while a debugger traces the process. Callers format their
// text and return at once; the writes run in order on the serial queue
// "ALKASLLog". The outputs are set up by the first line written, with the
// level and file path of that moment, and only lines whose severity is within
// the level's filter reach any output: with the default level 0, no line of
// the library is written.
//
// Fresh -> (first write) -> Connected or Failed (never retried); Connected ->
// close -> Closed. In Failed and Closed every line is dropped.
class ALKASLLogger : public platform::Object, public IALKLogger {
 public:
  enum class State : std::uint8_t { Fresh, Connected, Failed, Closed };
  // The outputs of one set-up (system log, file, standard error); opaque
  // outside the logger.
  class Client;

  // `systemLogPath` is the system log's socket; it need not exist (the file
  // and standard error outputs work without it).
  explicit ALKASLLogger(std::string systemLogPath = "/dev/log");
  // Closes the logger. Lines still queued are not written.
  ~ALKASLLogger() override;
  ALKASLLogger(const ALKASLLogger&) = delete;
  ALKASLLogger& operator=(const ALKASLLogger&) = delete;

  // The process-wide instance, made once even under concurrent first calls
  // and never destroyed at exit.
  static std::shared_ptr<ALKASLLogger> sharedLogger();
  // Drops the process-wide instance; the next sharedLogger() makes a new one.
  static void resetSharedLogger();
  // The system-log severity of a level: 1 -> 3, 2 -> 4, 3 -> 6, 4 -> 7,
  // anything else -> 0.
  static int ASLLogLevelFromLogLevel(std::uint64_t level);

  using IALKLogger::logMessageWithFormat;
  void logVerbose(std::string_view message) override;
  void logInfo(std::string_view message) override;
  void logWarning(std::string_view message) override;
  void logError(std::string_view message) override;
  void logMessageWithFormat(std::string_view format, std::uint64_t level,
                            std::span<const platform::FormatArg> arguments) override;
  void increaseLogIndent() override;
  // Removes two spaces; an indentation of one character or none stays.
  void decreaseLogIndent() override;
  // Waits for the lines submitted before; returns at once before the first
  // line and after close().
  void flush() override;
  std::uint64_t logLevel() const override { return logLevel_.load(std::memory_order_relaxed); }
  void setLogLevel(std::uint64_t level) override { logLevel_.store(level, std::memory_order_relaxed); }
  std::string filePath() const override;
  void setFilePath(std::string path) override;
  // False in Failed and Closed, and for severities outside the filter (the
  // filter of the current level while Fresh).
  bool wouldLog(std::uint64_t level) const override;

  // Ends logging for the life of the object. Any thread.
  void close();
  // Sets the outputs up unless that was done or tried already.
  void setupASLClientIfNeeded();
  // The write queue after set-up; nullptr in Failed and Closed.
  std::shared_ptr<platform::DispatchQueue> queue();
  // The outputs after set-up; nullptr in Failed and Closed.
  std::shared_ptr<Client> client();
  // Whether a debugger traces the process ("TracerPid:" of
  // /proc/self/status is not 0); false when that cannot be read.
  static bool shouldLogToStdErr();

  State state() const { return state_.load(std::memory_order_acquire); }
  std::string indentation() const;

 private:
  // Every change of state goes through here; mutex_ held.
  void transition(State next);
  // Runs on the "ALKASLLog" queue.
  void write(int severity, const std::string& text);

  const std::string systemLogPath_;
  // Recursive: the set-up runs under it and may be reached again from inside.
  // Taken briefly by callers on any thread (set-up, close, flush, the queue)
  // and by each write on "ALKASLLog" to read the client; never held while
  // an output is written.
  mutable std::recursive_mutex mutex_;  // guards filePath_, queue_, client_ and transitions
  std::atomic<State> state_{State::Fresh};
  std::atomic<int> filterSeverity_{0};  // the client's filter, fixed at set-up
  std::atomic<std::uint64_t> logLevel_{0};
  std::string filePath_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<Client> client_;
  mutable std::mutex indentationMutex_;  // guards indentation_; any thread, held only to read or change it
  std::string indentation_;
};
