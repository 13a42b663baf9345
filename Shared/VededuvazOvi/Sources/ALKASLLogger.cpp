#include "ALKASLLogger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <system_error>

#include "ALKSharedInstance.h"
#include "System/SystemLog.h"

namespace {

// A line for the console (the platform's NSLog): standard error.
void console(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

// Writes all of `text` to `fd` in one call where the system allows.
void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

// The process-wide instance, never destroyed.
ALKSharedInstance<ALKASLLogger>& sharedInstance() {
  static auto* instance = new ALKSharedInstance<ALKASLLogger>;
  return *instance;
}

}  // namespace

// The outputs of one set-up: the system log, the file and standard error,
// each filtered to severities 0...maxSeverity. Made under the logger's mutex,
// then written through only on the "ALKASLLog" queue.
class ALKASLLogger::Client {
 public:
  Client(std::string ident, const std::string& systemLogPath, int maxSeverity)
      : ident_(ident), systemLog_(std::move(ident), systemLogPath), maxSeverity_(maxSeverity) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) host_ = host;
  }
  ~Client() {
    if (fileFd_ >= 0) ::close(fileFd_);
  }

  // The errno of a failure, 0 on success.
  int addLogFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    fileFd_ = fd;
    return 0;
  }
  void addStandardError() { toStandardError_ = true; }

  void write(int severity, const std::string& text) {
    if (severity > maxSeverity_) return;
    systemLog_.write(severity, text);
    if (fileFd_ < 0 && !toStandardError_) return;
    const std::string line = fileLine(severity, text);
    if (fileFd_ >= 0) writeAll(fileFd_, line);
    if (toStandardError_) writeAll(STDERR_FILENO, line);
  }

 private:
  // "Dec  6 21:49:00 host ident[pid] <Debug>: text", continuation lines
  // indented by a tab.
  std::string fileLine(int severity, const std::string& text) const {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static constexpr const char* kLevels[] = {"Emergency", "Alert", "Critical", "Error",
                                              "Warning",   "Notice", "Info",    "Debug"};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d ", kMonths[local.tm_mon], local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    std::string line = stamp + host_ + " " + ident_ + "[" + std::to_string(getpid()) + "] <" + kLevels[severity] + ">: ";
    for (char c : text) {
      line += c;
      if (c == '\n') line += '\t';
    }
    line += '\n';
    return line;
  }

  const std::string ident_;
  platform::SystemLog systemLog_;
  const int maxSeverity_;
  std::string host_;
  int fileFd_ = -1;
  bool toStandardError_ = false;
};

ALKASLLogger::ALKASLLogger(std::string systemLogPath) : systemLogPath_(std::move(systemLogPath)) {}

ALKASLLogger::~ALKASLLogger() { close(); }

std::shared_ptr<ALKASLLogger> ALKASLLogger::sharedLogger() { return sharedInstance().get(); }

void ALKASLLogger::resetSharedLogger() { sharedInstance().reset(); }

int ALKASLLogger::ASLLogLevelFromLogLevel(std::uint64_t level) {
  switch (level) {
    case kALKLogLevelError: return 3;
    case kALKLogLevelWarning: return 4;
    case kALKLogLevelInfo: return 6;
    case kALKLogLevelVerbose: return 7;
    default: return 0;
  }
}

void ALKASLLogger::logVerbose(std::string_view message) { logMessageWithFormat("%@", kALKLogLevelVerbose, message); }
void ALKASLLogger::logInfo(std::string_view message) { logMessageWithFormat("%@", kALKLogLevelInfo, message); }
void ALKASLLogger::logWarning(std::string_view message) { logMessageWithFormat("%@", kALKLogLevelWarning, message); }
void ALKASLLogger::logError(std::string_view message) { logMessageWithFormat("%@", kALKLogLevelError, message); }

bool ALKASLLogger::wouldLog(std::uint64_t level) const {
  const int severity = ASLLogLevelFromLogLevel(level);
  switch (state()) {
    case State::Fresh:
      return severity <= ASLLogLevelFromLogLevel(logLevel());
    case State::Connected:
      return severity <= filterSeverity_.load(std::memory_order_relaxed);
    case State::Failed:
    case State::Closed:
      return false;
  }
  return false;
}

void ALKASLLogger::logMessageWithFormat(std::string_view format, std::uint64_t level,
                                        std::span<const platform::FormatArg> arguments) {
  // Nothing is formatted for a line that no output would take.
  if (format.data() == nullptr || !wouldLog(level)) return;
  const auto writeQueue = queue();
  if (!writeQueue) return;
  std::string text = platform::formatArgs(format, arguments);
  {
    std::lock_guard lock(indentationMutex_);
    text.insert(0, indentation_);
  }
  writeQueue->async([weakSelf = weak_from_this(), severity = ASLLogLevelFromLogLevel(level), text = std::move(text)] {
    // Runs on "ALKASLLog"; a logger that has gone writes nothing.
    if (auto self = weakSelf.lock()) std::static_pointer_cast<ALKASLLogger>(self)->write(severity, text);
  });
}

void ALKASLLogger::write(int severity, const std::string& text) {
  std::shared_ptr<Client> client;
  {
    std::lock_guard lock(mutex_);
    client = client_;
  }
  // Outside the lock, so that callers never wait for the outputs; only this
  // queue writes through the client.
  if (client) client->write(severity, text);
}

void ALKASLLogger::increaseLogIndent() {
  std::lock_guard lock(indentationMutex_);
  indentation_ += "  ";
}

void ALKASLLogger::decreaseLogIndent() {
  std::lock_guard lock(indentationMutex_);
  if (indentation_.size() > 1) indentation_.resize(indentation_.size() - 2);
}

std::string ALKASLLogger::indentation() const {
  std::lock_guard lock(indentationMutex_);
  return indentation_;
}

std::string ALKASLLogger::filePath() const {
  std::lock_guard lock(mutex_);
  return filePath_;
}

void ALKASLLogger::setFilePath(std::string path) {
  std::lock_guard lock(mutex_);
  filePath_ = std::move(path);
}

void ALKASLLogger::flush() {
  std::shared_ptr<platform::DispatchQueue> writeQueue;
  {
    std::lock_guard lock(mutex_);
    writeQueue = queue_;
  }
  if (writeQueue) writeQueue->sync([] {});
}

void ALKASLLogger::close() {
  std::shared_ptr<platform::DispatchQueue> writeQueue;
  std::shared_ptr<Client> client;
  {
    std::lock_guard lock(mutex_);
    if (state() == State::Closed) return;
    transition(State::Closed);
    writeQueue.swap(queue_);
    client.swap(client_);
  }
  // Released outside the lock: the queue's thread runs the lines still
  // queued before it stops, and each of them takes the lock (and finds no
  // client).
}

void ALKASLLogger::transition(State next) {
  const State current = state();
  const bool allowed = (current == State::Fresh && next != State::Fresh) ||
                       (current == State::Connected && next == State::Closed) ||
                       (current == State::Failed && next == State::Closed);
  if (allowed) state_.store(next, std::memory_order_release);
}

std::shared_ptr<platform::DispatchQueue> ALKASLLogger::queue() {
  setupASLClientIfNeeded();
  std::lock_guard lock(mutex_);
  return queue_;
}

std::shared_ptr<ALKASLLogger::Client> ALKASLLogger::client() {
  setupASLClientIfNeeded();
  std::lock_guard lock(mutex_);
  return client_;
}

void ALKASLLogger::setupASLClientIfNeeded() {
  std::lock_guard lock(mutex_);
  if (state() != State::Fresh) return;

  std::shared_ptr<platform::DispatchQueue> writeQueue;
  try {
    writeQueue = platform::DispatchQueue::serial("ALKASLLog");
  } catch (const std::system_error&) {
    // No thread for the queue: the logger stays silent.
  }
  if (!writeQueue) {
    console("Could not establish connection to ASL server");
    transition(State::Failed);
    return;
  }
  const int severity = ASLLogLevelFromLogLevel(logLevel());
  auto client = std::make_shared<Client>(platform::format("VededuvazOvi.%p", this), systemLogPath_, severity);
  if (!filePath_.empty()) {
    if (const int failure = client->addLogFile(filePath_)) {
      console(platform::format("Could not enable writing to log file {error: %d, file: %@}", failure, filePath_));
    }
  }
  if (shouldLogToStdErr()) client->addStandardError();
  queue_ = std::move(writeQueue);
  client_ = std::move(client);
  filterSeverity_.store(severity, std::memory_order_relaxed);
  transition(State::Connected);
}

bool ALKASLLogger::shouldLogToStdErr() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
  }
  return false;
}
