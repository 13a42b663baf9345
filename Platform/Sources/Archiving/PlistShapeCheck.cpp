#include "Archiving/PlistShapeCheck.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace platform {
namespace {

constexpr std::size_t kTrailerSize = 32;
constexpr std::size_t kHeaderSize = 8;

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | p[i];
  return value;
}

// The parts of a binary property list that give the tree its shape.
class BinaryShape {
 public:
  BinaryShape(std::span<const std::uint8_t> bytes, const PropertyListLimits& limits)
      : bytes_(bytes), limits_(limits) {}

  std::optional<std::string> check() {
    if (bytes_.size() < kHeaderSize + 1 + kTrailerSize) return "binary property list too short";
    const std::uint8_t* trailer = bytes_.data() + bytes_.size() - kTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    count_ = readBigEndian(trailer + 8, 8);
    const std::uint64_t top = readBigEndian(trailer + 16, 8);
    tableOffset_ = readBigEndian(trailer + 24, 8);
    const std::size_t trailerStart = bytes_.size() - kTrailerSize;

    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return "bad integer sizes in trailer";
    // Every object takes at least one byte, so there are fewer objects than bytes.
    if (count_ == 0 || count_ > trailerStart) return "bad object count";
    if (top >= count_) return "top object out of range";
    if (tableOffset_ < kHeaderSize + 1 || tableOffset_ > trailerStart ||
        count_ > (trailerStart - tableOffset_) / offsetSize_) {
      return "offset table out of range";
    }
    // Writers store only objects the tree reaches, so a table longer than the
    // node limit cannot describe a tree within it. Refusing it here also keeps
    // what the walk keeps per object (some 25 bytes) bounded by the limit
    // rather than by the input's size.
    if (count_ > limits_.maxNodes) return "too many objects";
    state_.assign(count_, State::New);
    result_.resize(count_);
    return walk(top);
  }

 private:
  enum class State : std::uint8_t { New, Open, Done };
  struct Shape {
    std::uint64_t nodes = 0;
    std::uint64_t payload = 0;
    std::uint64_t depth = 0;
  };
  struct Frame {
    std::uint64_t index;
    std::size_t refs;        // offset of the first reference
    std::uint64_t children;  // number of references
    std::uint64_t keys;      // how many of them are a dictionary's keys
    std::uint64_t next = 0;
    Shape shape;
  };

  // The offset of object `index`, checked to lie between header and table.
  std::optional<std::size_t> offsetOf(std::uint64_t index) const {
    const std::size_t at = tableOffset_ + static_cast<std::size_t>(index) * offsetSize_;
    const std::uint64_t offset = readBigEndian(bytes_.data() + at, offsetSize_);
    if (offset < kHeaderSize || offset >= tableOffset_) return std::nullopt;
    return static_cast<std::size_t>(offset);
  }

  // The count of a container, string or data object whose marker is at
  // `offset`, and where its contents start.
  std::optional<std::pair<std::uint64_t, std::size_t>> countAt(std::size_t offset) const {
    const std::uint8_t info = bytes_[offset] & 0x0F;
    std::size_t pos = offset + 1;
    if (info != 0x0F) return std::pair<std::uint64_t, std::size_t>{info, pos};
    if (pos >= tableOffset_ || (bytes_[pos] & 0xF0) != 0x10) return std::nullopt;
    const std::size_t size = std::size_t{1} << (bytes_[pos] & 0x0F);
    if (size > 8 || size > tableOffset_ - pos - 1) return std::nullopt;
    const std::uint64_t count = readBigEndian(bytes_.data() + pos + 1, size);
    return std::pair<std::uint64_t, std::size_t>{count, pos + 1 + size};
  }

  // Opens object `index`: a leaf is finished at once, a container becomes a
  // frame whose references are walked next.
  std::optional<std::string> open(std::uint64_t index, std::vector<Frame>& stack) {
    const auto offset = offsetOf(index);
    if (!offset) return "object offset out of range";
    const std::uint8_t type = bytes_[*offset] >> 4;
    Shape leaf{1, 0, 1};
    switch (type) {
      case 0x4:    // data
      case 0x5:    // ASCII string
      case 0x6: {  // UTF-16 string: up to three UTF-8 bytes per unit
        const auto counted = countAt(*offset);
        if (!counted) return "bad length";
        const std::uint64_t unit = type == 0x6 ? 2 : 1;
        if (counted->first > (tableOffset_ - counted->second) / unit) return "string or data out of range";
        leaf.payload = counted->first * (type == 0x6 ? 3 : 1);
        break;
      }
      case 0xA:    // array
      case 0xC:    // set
      case 0xD: {  // dictionary: keys, then values
        const auto counted = countAt(*offset);
        if (!counted) return "bad container length";
        const std::uint64_t per = type == 0xD ? 2 : 1;
        if (counted->first > (tableOffset_ - counted->second) / refSize_ / per) return "container out of range";
        if (stack.size() >= limits_.maxDepth) return "nested too deeply";
        state_[index] = State::Open;
        stack.push_back(Frame{index, counted->second, counted->first * per, type == 0xD ? counted->first : 0, 0, Shape{}});
        return std::nullopt;
      }
      default:
        break;  // scalars; libplist reads and checks them
    }
    state_[index] = State::Done;
    result_[index] = leaf;
    return std::nullopt;
  }

  // Whether object `index` is a string with a NUL character.
  bool keyHasNul(std::uint64_t index) const {
    const auto offset = offsetOf(index);
    if (!offset) return false;  // refused when walked
    const std::uint8_t type = bytes_[*offset] >> 4;
    if (type != 0x5 && type != 0x6) return false;
    const auto counted = countAt(*offset);
    const std::uint64_t unit = type == 0x6 ? 2 : 1;
    if (!counted || counted->first > (tableOffset_ - counted->second) / unit) return false;
    const std::uint8_t* text = bytes_.data() + counted->second;
    for (std::uint64_t i = 0; i < counted->first; ++i) {
      if (text[i * unit] == 0 && (unit == 1 || text[i * unit + 1] == 0)) return true;
    }
    return false;
  }

  std::optional<std::string> add(Shape& into, const Shape& child) const {
    into.nodes += child.nodes;
    into.payload += child.payload;
    into.depth = std::max(into.depth, child.depth);
    if (into.nodes > limits_.maxNodes) return "too many objects";
    if (into.payload > limits_.maxPayloadBytes) return "too much string or data";
    return std::nullopt;
  }

  std::optional<std::string> walk(std::uint64_t top) {
    std::vector<Frame> stack;
    if (auto failure = open(top, stack)) return failure;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.children) {
        Shape done = frame.shape;
        done.nodes += 1;
        done.depth += 1;
        if (done.depth > limits_.maxDepth) return "nested too deeply";
        const std::uint64_t index = frame.index;
        stack.pop_back();
        state_[index] = State::Done;
        result_[index] = done;
        if (!stack.empty()) {
          if (auto failure = add(stack.back().shape, done)) return failure;
        } else if (done.nodes > limits_.maxNodes) {
          return "too many objects";
        }
        continue;
      }
      const std::uint64_t child =
          readBigEndian(bytes_.data() + frame.refs + static_cast<std::size_t>(frame.next) * refSize_, refSize_);
      const bool isKey = frame.next < frame.keys;
      ++frame.next;
      if (child >= count_) return "reference out of range";
      // libplist aborts on a key with NUL in it.
      if (isKey && keyHasNul(child)) return "dictionary key with NUL";
      switch (state_[child]) {
        case State::Open:
          return "reference cycle";
        case State::Done:
          if (auto failure = add(frame.shape, result_[child])) return failure;
          break;
        case State::New: {
          const std::size_t before = stack.size();
          if (auto failure = open(child, stack)) return failure;
          // A leaf is done at once; a container is finished when popped.
          if (stack.size() == before) {
            if (auto failure = add(stack.back().shape, result_[child])) return failure;
          }
          break;
        }
      }
    }
    return std::nullopt;
  }

  std::span<const std::uint8_t> bytes_;
  const PropertyListLimits& limits_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t count_ = 0;
  std::size_t tableOffset_ = 0;
  std::vector<State> state_;
  std::vector<Shape> result_;
};

bool startsWith(std::string_view text, std::size_t at, std::string_view prefix) {
  return text.compare(at, prefix.size(), prefix) == 0;
}

}  // namespace

std::optional<std::string> PlistShapeCheck::checkBinary(std::span<const std::uint8_t> bytes,
                                                        const PropertyListLimits& limits) {
  return BinaryShape(bytes, limits).check();
}

std::optional<std::string> PlistShapeCheck::checkXml(std::span<const std::uint8_t> bytes,
                                                     const PropertyListLimits& limits) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // No property list in text holds a NUL byte; libplist would cut keys there.
  if (text.find('\0') != std::string_view::npos) return "NUL byte in text";
  std::size_t depth = 0;
  std::size_t elements = 0;
  std::size_t i = 0;
  // Skips to just past `end`, or to the end of the text.
  auto skipPast = [&](std::string_view end) {
    const std::size_t found = text.find(end, i);
    i = found == std::string_view::npos ? text.size() : found + end.size();
  };
  while ((i = text.find('<', i)) != std::string_view::npos) {
    if (startsWith(text, i, "<?")) {
      skipPast("?>");
    } else if (startsWith(text, i, "<!--")) {
      skipPast("-->");
    } else if (startsWith(text, i, "<![CDATA[")) {
      skipPast("]]>");
    } else if (startsWith(text, i, "<!")) {
      // A document type, perhaps with an internal subset in brackets.
      const std::size_t bracket = text.find_first_of("[>", i);
      if (bracket != std::string_view::npos && text[bracket] == '[') {
        i = bracket;
        skipPast("]");
      }
      skipPast(">");
    } else if (startsWith(text, i, "</")) {
      if (depth > 0) --depth;
      skipPast(">");
    } else {
      // An opening or empty element; quoted attribute values may hold '>'.
      char quote = 0;
      std::size_t j = i + 1;
      for (; j < text.size(); ++j) {
        if (quote) {
          if (text[j] == quote) quote = 0;
        } else if (text[j] == '"' || text[j] == '\'') {
          quote = text[j];
        } else if (text[j] == '>') {
          break;
        }
      }
      const bool empty = j < text.size() && text[j - 1] == '/';
      if (++elements > limits.maxNodes) return "too many elements";
      if (!empty && ++depth > limits.maxDepth) return "nested too deeply";
      i = j;
    }
  }
  return std::nullopt;
}

}  // namespace platform
