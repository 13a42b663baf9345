#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// Base of every reference object that can sit in a Value (activities, errors,
// requests...). Objects are owned through std::shared_ptr and made with
// std::make_shared, so shared_from_this works for all of them.
class Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object() = default;

  // The class name as log lines show it: the C++ class name without namespaces.
  virtual std::string className() const;

  // Identity by default; value classes override both together.
  virtual bool isEqual(const Object& other) const { return this == &other; }
  virtual std::size_t hash() const;

  // "<ClassName: 0x7f...>" by default.
  virtual std::string description() const;

  // A copy of the same class, or nullptr when the class cannot be copied.
  virtual std::shared_ptr<Object> copy() const { return nullptr; }

  template <class T>
  std::shared_ptr<T> sharedAs() {
    return std::dynamic_pointer_cast<T>(shared_from_this());
  }
  template <class T>
  std::shared_ptr<const T> sharedAs() const {
    return std::dynamic_pointer_cast<const T>(shared_from_this());
  }

 protected:
  Object() = default;
  Object(const Object&) : std::enable_shared_from_this<Object>() {}
  Object& operator=(const Object&) { return *this; }
};

using ObjectPtr = std::shared_ptr<Object>;

// Equality of two possibly empty object pointers: both empty, the same object,
// or isEqual.
bool objectsEqual(const Object* a, const Object* b);

// "0x7ffd5a3c" the way the platform prints %p.
std::string pointerString(const void* pointer);

// The demangled name of a type without its namespaces.
std::string demangledClassName(const char* mangled);

}  // namespace platform
