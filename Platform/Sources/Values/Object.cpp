#include "Values/Object.h"
#include "System/CompilerWarnings.h"

#include <cxxabi.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <typeinfo>

namespace platform {

std::string demangledClassName(const char* mangled) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled) ? demangled : mangled;
  std::free(demangled);
  // Drop template arguments before looking for the last namespace separator.
  const auto angle = name.find('<');
  const auto colon = name.rfind("::", angle);
  if (colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

std::string Object::className() const { return demangledClassName(typeid(*this).name()); }

std::size_t Object::hash() const { return std::hash<const void*>()(this); }

PT_GCC12_STRING_RESTRICT_BEGIN
std::string Object::description() const {
  return "<" + className() + ": " + pointerString(this) + ">";
}
PT_GCC12_STRING_RESTRICT_END

bool objectsEqual(const Object* a, const Object* b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return a->isEqual(*b);
}

std::string pointerString(const void* pointer) {
  char buffer[2 + 16 + 1];
  std::snprintf(buffer, sizeof buffer, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(pointer));
  return buffer;
}

}  // namespace platform
