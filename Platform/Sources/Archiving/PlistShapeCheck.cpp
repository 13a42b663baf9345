#include "Archiving/PlistShapeCheck.h"

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "Archiving/PlistObjectTable.h"

namespace platform {
namespace {

// The parts of a binary property list that give the tree its shape.
class BinaryShape {
 public:
  BinaryShape(const PlistObjectTable& table, const PropertyListLimits& limits) : table_(table), limits_(limits) {}

  std::optional<std::string> check() {
    // Writers store only objects the tree reaches, so a table longer than the
    // node limit cannot describe a tree within it. Refusing it here also keeps
    // what the walk keeps per object (some 25 bytes) bounded by the limit
    // rather than by the input's size.
    if (table_.count() > limits_.maxNodes) return "too many objects";
    state_.assign(table_.count(), State::New);
    result_.resize(table_.count());
    return walk(table_.top());
  }

  bool aboveInt64Max() const { return aboveInt64Max_; }

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

  // Opens object `index`: a leaf is finished at once, a container becomes a
  // frame whose references are walked next.
  std::optional<std::string> open(std::uint64_t index, std::vector<Frame>& stack) {
    const auto offset = table_.offsetOf(index);
    if (!offset) return "object offset out of range";
    const std::uint8_t type = table_.typeAt(*offset);
    Shape leaf{1, 0, 1};
    switch (type) {
      case PlistObjectTable::kData:
      case PlistObjectTable::kAsciiString:
      case PlistObjectTable::kUtf16String: {  // up to three UTF-8 bytes per UTF-16 unit
        const auto counted = table_.countAt(*offset);
        if (!counted) return "bad length";
        const bool utf16 = type == PlistObjectTable::kUtf16String;
        if (!table_.fits(counted->second, counted->first, utf16 ? 2 : 1)) return "string or data out of range";
        leaf.payload = counted->first * (utf16 ? 3 : 1);
        break;
      }
      case PlistObjectTable::kArray:
      case PlistObjectTable::kSet:
      case PlistObjectTable::kDictionary: {  // a dictionary: keys, then values
        const auto counted = table_.countAt(*offset);
        if (!counted) return "bad container length";
        const std::uint64_t per = type == PlistObjectTable::kDictionary ? 2 : 1;
        if (!table_.fits(counted->second, counted->first, table_.refSize() * per)) return "container out of range";
        if (stack.size() >= limits_.maxDepth) return "nested too deeply";
        state_[index] = State::Open;
        const std::uint64_t keys = type == PlistObjectTable::kDictionary ? counted->first : 0;
        stack.push_back(Frame{index, counted->second, counted->first * per, keys, 0, Shape{}});
        return std::nullopt;
      }
      case PlistObjectTable::kInteger: {
        const auto value = table_.integerAt(*offset);
        if (const auto* reason = std::get_if<std::string>(&value)) {
          return "integer at byte " + std::to_string(*offset) + " " + *reason;
        }
        if (std::get<Number>(value).kind() == Number::Kind::UInt) aboveInt64Max_ = true;
        break;
      }
      default:
        break;  // other scalars; libplist reads and checks them
    }
    state_[index] = State::Done;
    result_[index] = leaf;
    return std::nullopt;
  }

  // Whether object `index` is a string with a NUL character.
  bool keyHasNul(std::uint64_t index) const {
    const auto offset = table_.offsetOf(index);
    if (!offset) return false;  // refused when walked
    const std::uint8_t type = table_.typeAt(*offset);
    if (type != PlistObjectTable::kAsciiString && type != PlistObjectTable::kUtf16String) return false;
    const auto counted = table_.countAt(*offset);
    const std::uint64_t unit = type == PlistObjectTable::kUtf16String ? 2 : 1;
    if (!counted || !table_.fits(counted->second, counted->first, unit)) return false;
    const std::uint8_t* text = table_.bytesAt(counted->second);
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
      const std::uint64_t child = table_.refAt(frame.refs, frame.next);
      const bool isKey = frame.next < frame.keys;
      ++frame.next;
      if (child >= table_.count()) return "reference out of range";
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

  const PlistObjectTable& table_;
  const PropertyListLimits& limits_;
  std::vector<State> state_;
  std::vector<Shape> result_;
  bool aboveInt64Max_ = false;
};

}  // namespace

std::optional<std::string> PlistShapeCheck::checkBinary(std::span<const std::uint8_t> bytes,
                                                        const PropertyListLimits& limits, bool* aboveInt64Max) {
  const auto table = PlistObjectTable::make(bytes);
  if (const auto* refusal = std::get_if<std::string>(&table)) return *refusal;
  BinaryShape shape(std::get<PlistObjectTable>(table), limits);
  auto refusal = shape.check();
  if (aboveInt64Max) *aboveInt64Max = shape.aboveInt64Max();
  return refusal;
}

}  // namespace platform
