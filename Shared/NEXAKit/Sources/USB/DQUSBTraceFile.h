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
// Redaction follows one byte stream at a time. Items written without a
// stream of their own (messages) share the trace's; the data of a pipe
// direction keeps its own Redaction, so that the message written before
// every packet does not cut a header line that crosses packets.
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

  // Where the redaction stands in one byte stream. Its owner passes it to
  // every write of that stream; the trace's lock guards it during the write.
  class Redaction {
   private:
    friend class DQUSBTraceFile;
    enum class Scan : std::uint8_t { LineStart, Name, Other, Spaces, Scheme, Secret };
    Scan scan_ = Scan::LineStart;
    std::size_t matched_ = 0;
  };

  void write(std::span<const std::uint8_t> bytes) { write(bytes, redaction_); }
  void write(const std::string& message) {
    write(std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
  }
  // An item of `stream`.
  void write(std::span<const std::uint8_t> bytes, Redaction& stream);
  // Moves `stream` over bytes that are not written (bytes of a failed
  // transfer that never went out are written, then taken back this way).
  static void follow(Redaction& stream, std::span<const std::uint8_t> bytes) { redact(bytes, stream, nullptr); }

 private:
  // Appends the item as the trace keeps it to `out` (nothing when null).
  static void redact(std::span<const std::uint8_t> bytes, Redaction& stream, std::string* out);
  bool ensureOpen();

  std::mutex mutex_;  // guards everything below; any writing thread
  std::string path_;
  std::size_t limit_;
  int fd_ = -1;
  bool opened_ = false;  // tried once; not again unless a rotation reopens
  std::size_t size_ = 0;
  Redaction redaction_;
  std::string item_;  // the redacted item, kept to spare an allocation per item
};
