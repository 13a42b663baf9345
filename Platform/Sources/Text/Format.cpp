#include "Text/Format.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale.h>

#include "Values/Object.h"
#include "Values/Value.h"
#include "System/CompilerWarnings.h"

namespace platform {
namespace {

// The C locale, so that '.' is the decimal separator whatever the process set.
locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

struct Spec {
  std::string flags;
  int width = -1;
  int precision = -1;
  char conversion = 0;
};

// Formats one value with snprintf and a rebuilt conversion; `length` is the
// length modifier that matches the C type passed.
PT_GCC12_STRING_RESTRICT_BEGIN
template <class T>
void appendPrintf(std::string& out, const Spec& spec, const char* length, T value) {
  std::string pattern = "%" + spec.flags;
  if (spec.width >= 0) pattern += std::to_string(spec.width);
  if (spec.precision >= 0) pattern += "." + std::to_string(spec.precision);
  pattern += length;
  pattern += spec.conversion;
  const locale_t previous = uselocale(cLocale());
  char small[128];
  int needed = std::snprintf(small, sizeof small, pattern.c_str(), value);
  if (needed >= 0 && static_cast<std::size_t>(needed) < sizeof small) {
    out.append(small, static_cast<std::size_t>(needed));
  } else if (needed > 0) {
    std::string large(static_cast<std::size_t>(needed) + 1, '\0');
    std::snprintf(large.data(), large.size(), pattern.c_str(), value);
    out.append(large.data(), static_cast<std::size_t>(needed));
  }
  uselocale(previous);
}
PT_GCC12_STRING_RESTRICT_END

void appendText(std::string& out, const Spec& spec, std::string_view text) {
  if (spec.precision >= 0 && static_cast<std::size_t>(spec.precision) < text.size()) {
    text = text.substr(0, static_cast<std::size_t>(spec.precision));
  }
  const std::size_t width = spec.width > 0 ? static_cast<std::size_t>(spec.width) : 0;
  const std::size_t pad = width > text.size() ? width - text.size() : 0;
  const bool left = spec.flags.find('-') != std::string::npos;
  if (!left) out.append(pad, ' ');
  out.append(text);
  if (left) out.append(pad, ' ');
}

}  // namespace

std::int64_t FormatArg::asSigned() const {
  switch (type_) {
    case Type::Signed: return i_;
    case Type::Unsigned: return static_cast<std::int64_t>(u_);
    case Type::Double: return Number(d_).integerValue();
    case Type::Pointer: return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(pointer_));
    case Type::String: return stringIntegerValue(std::string_view(text_ ? text_ : "", length_));
    case Type::Describable: return 0;
  }
  return 0;
}

std::uint64_t FormatArg::asUnsigned() const {
  switch (type_) {
    case Type::Unsigned: return u_;
    case Type::Double: return Number(d_).unsignedValue();
    case Type::Pointer: return reinterpret_cast<std::uintptr_t>(pointer_);
    default: return static_cast<std::uint64_t>(asSigned());
  }
}

double FormatArg::asDouble() const {
  switch (type_) {
    case Type::Signed: return static_cast<double>(i_);
    case Type::Unsigned: return static_cast<double>(u_);
    case Type::Double: return d_;
    case Type::String: return stringDoubleValue(std::string_view(text_ ? text_ : "", length_));
    default: return 0.0;
  }
}

const void* FormatArg::asPointer() const {
  switch (type_) {
    case Type::Pointer:
    case Type::Describable: return pointer_;
    case Type::String: return text_;
    default: return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(asUnsigned()));
  }
}

std::string FormatArg::asText() const {
  switch (type_) {
    case Type::String: return text_ ? std::string(text_, length_) : "(null)";
    case Type::Describable: return describe_(pointer_);
    case Type::Pointer:
      if (!pointer_) return "(null)";
      return describe_ ? describe_(pointer_) : pointerString(pointer_);
    case Type::Signed: return Number(i_).description();
    case Type::Unsigned: return Number(u_).description();
    case Type::Double: return Number(d_).description();
  }
  return {};
}

std::string formatArgs(std::string_view format, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  std::size_t next = 0;
  auto takeArg = [&]() -> const FormatArg* { return next < args.size() ? &args[next++] : nullptr; };

  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%') {
      out += c;
      continue;
    }
    const std::size_t start = i++;
    Spec spec;
    while (i < format.size() && std::strchr("-+ #0'", format[i]) && format[i] != '\0') {
      if (format[i] != '\'') spec.flags += format[i];
      ++i;
    }
    if (i < format.size() && format[i] == '*') {
      if (auto arg = takeArg()) {
        const std::int64_t width = arg->asSigned();
        spec.width = width < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(width, 4096));
      }
      ++i;
    } else {
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        spec.width = std::min(std::max(spec.width, 0) * 10 + (format[i] - '0'), 4096);
        ++i;
      }
    }
    if (i < format.size() && format[i] == '.') {
      ++i;
      spec.precision = 0;
      if (i < format.size() && format[i] == '*') {
        if (auto arg = takeArg()) spec.precision = static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(arg->asSigned(), 0), 4096));
        ++i;
      } else {
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
          spec.precision = std::min(spec.precision * 10 + (format[i] - '0'), 4096);
          ++i;
        }
      }
    }
    while (i < format.size() && std::strchr("hlqLjzt", format[i]) && format[i] != '\0') ++i;
    if (i >= format.size()) {
      out.append(format.substr(start));  // a dangling conversion stays as written
      break;
    }
    spec.conversion = format[i];
    switch (spec.conversion) {
      case '%':
        out += '%';
        break;
      case 'd':
      case 'i':
        if (auto arg = takeArg()) appendPrintf(out, spec, "ll", static_cast<long long>(arg->asSigned()));
        break;
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        if (auto arg = takeArg()) appendPrintf(out, spec, "ll", static_cast<unsigned long long>(arg->asUnsigned()));
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (auto arg = takeArg()) appendPrintf(out, spec, "", arg->asDouble());
        break;
      case 'c':
        if (auto arg = takeArg()) {
          const char ch = static_cast<char>(arg->asSigned());
          appendText(out, spec, std::string_view(&ch, 1));
        }
        break;
      case 's':
      case '@':
        if (auto arg = takeArg()) appendText(out, spec, arg->asText());
        break;
      case 'p':
        if (auto arg = takeArg()) appendText(out, spec, pointerString(arg->asPointer()));
        break;
      default:
        // Unknown conversions are copied as they stand, consuming nothing.
        out.append(format.substr(start, i - start + 1));
    }
  }
  return out;
}

}  // namespace platform
