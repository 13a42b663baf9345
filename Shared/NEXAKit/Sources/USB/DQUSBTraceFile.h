#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

// The USB trace: every message and every byte that crosses a USB interface,
// written raw one item after another. The process's trace is "TolvekUSB.log"
// in the library's folder of the user's log folder, opened on the first item.
//
// Unlike a plain raw log it keeps credentials and disk use in bounds: the file
// is created readable by its owner only (0600), the value of an
// "Authorization" header line is replaced by "<redacted>" (also when a line
// is split across items), and a file that reaches its limit is moved to
// "<name>.1" (replacing an older one) and started again.
//
// Thread-safe: items are written whole, one at a time, under the trace's lock.
// Failures to open or write are ignored.
class DQUSBTraceFile {
 public:
  static constexpr std::size_t kDefaultLimit = 10 * 1024 * 1024;

  // The process's trace. It lives until the process ends.
  static DQUSBTraceFile& shared();
  // <logs folder>/NEXAKit/TolvekUSB.log, symbolic links in the folder resolved.
  static std::string defaultPath();

  explicit DQUSBTraceFile(std::string path, std::size_t limit = kDefaultLimit);
  ~DQUSBTraceFile();
  DQUSBTraceFile(const DQUSBTraceFile&) = delete;
  DQUSBTraceFile& operator=(const DQUSBTraceFile&) = delete;

  void write(std::span<const std::uint8_t> bytes);
  void write(const std::string& message) {
    write(std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
  }

 private:
  // Where the redaction stands in the byte stream.
  enum class Scan : std::uint8_t { LineStart, Name, Other, Spaces, Scheme, Secret };
  std::string redact(std::span<const std::uint8_t> bytes);
  bool ensureOpen();

  std::mutex mutex_;  // guards everything below; any writing thread
  std::string path_;
  std::size_t limit_;
  int fd_ = -1;
  bool opened_ = false;  // tried once; not again unless a rotation reopens
  std::size_t size_ = 0;
  Scan scan_ = Scan::LineStart;
  std::size_t matched_ = 0;
};
