#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "Values/Object.h"

namespace platform {

template <class T>
concept Describable = requires(const T& value) {
  { value.description() } -> std::convertible_to<std::string>;
};

// One argument of format(). It refers to the caller's value without copying
// it, so it lives only for the duration of the call; a description is made
// only when a %@ (or %s) conversion consumes the argument.
class FormatArg {
 public:
  enum class Type : std::uint8_t { Signed, Unsigned, Double, String, Pointer, Describable };

  FormatArg(bool value) : type_(Type::Signed), i_(value ? 1 : 0) {}
  FormatArg(char value) : type_(Type::Signed), i_(value) {}
  template <std::signed_integral T>
  FormatArg(T value) : type_(Type::Signed), i_(value) {}
  template <std::unsigned_integral T>
    requires(!std::same_as<T, bool>)
  FormatArg(T value) : type_(Type::Unsigned), u_(value) {}
  template <class T>
    requires std::is_enum_v<T>
  FormatArg(T value) : FormatArg(static_cast<std::underlying_type_t<T>>(value)) {}
  template <std::floating_point T>
  FormatArg(T value) : type_(Type::Double), d_(static_cast<double>(value)) {}

  FormatArg(const char* text) : type_(Type::String), text_(text), length_(text ? std::char_traits<char>::length(text) : 0) {}
  FormatArg(char* text) : FormatArg(static_cast<const char*>(text)) {}
  FormatArg(const std::string& text) : type_(Type::String), text_(text.data()), length_(text.size()) {}
  FormatArg(std::string_view text) : type_(Type::String), text_(text.data()), length_(text.size()) {}
  FormatArg(std::nullptr_t) : type_(Type::Pointer), pointer_(nullptr) {}

  // Plain pointers print with %p; a pointer to a describable object also
  // describes it with %@.
  template <class T>
    requires(!std::same_as<std::remove_cv_t<T>, char>)
  FormatArg(T* pointer) : type_(Type::Pointer), pointer_(pointer) {
    if constexpr (Describable<T>) {
      if (pointer) describe_ = &describeThunk<T>;
    }
  }
  template <class T>
  FormatArg(const std::shared_ptr<T>& pointer) : FormatArg(pointer.get()) {}
  template <class T>
  FormatArg(const std::weak_ptr<T>& pointer) = delete;

  template <Describable T>
    requires(!std::is_pointer_v<T>)
  FormatArg(const T& value) : type_(Type::Describable), pointer_(&value), describe_(&describeThunk<T>) {}

  Type type() const { return type_; }
  std::int64_t asSigned() const;
  std::uint64_t asUnsigned() const;
  double asDouble() const;
  const void* asPointer() const;
  // The text of %@: a string as it is, a description, a number's digits,
  // "(null)" for a null pointer.
  std::string asText() const;

 private:
  template <class T>
  static std::string describeThunk(const void* value) {
    return static_cast<const T*>(value)->description();
  }

  Type type_;
  union {
    std::int64_t i_;
    std::uint64_t u_;
    double d_;
    const char* text_;
    const void* pointer_;
  };
  std::size_t length_ = 0;
  std::string (*describe_)(const void*) = nullptr;
};

// printf-style formatting that also understands %@ (the argument's
// description). Integer conversions take any length modifier (%d, %ld, %zd,
// %lld, %u, %lu, %llu, %x); %f, %.2f, %e and %g are locale-independent; %p
// prints "0x" and lower-case hexadecimal; %% is a percent sign. A conversion
// without an argument prints nothing; surplus arguments are ignored. The
// format is code, never data.
std::string formatArgs(std::string_view format, std::span<const FormatArg> args);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  return formatArgs(fmt, std::span<const FormatArg>(list, sizeof...(Args)));
}

}  // namespace platform
