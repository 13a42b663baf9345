#pragma once

// Pragmas that silence one compiler's known false positive around the code
// that meets it, and nothing for any other compiler.

// GCC 12 at -O3 warns -Wrestrict inside std::string (char_traits.h, "accessing
// 9223372036854775810 or more bytes") where a string literal is put before a
// temporary string, `"{" + std::to_string(n)`: its inlined insert(0, ...) is
// taken for an overlapping copy, which it cannot be. Later GCCs do not warn.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#define PT_GCC12_STRING_RESTRICT_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wrestrict\"")
#define PT_GCC12_STRING_RESTRICT_END _Pragma("GCC diagnostic pop")
#else
#define PT_GCC12_STRING_RESTRICT_BEGIN
#define PT_GCC12_STRING_RESTRICT_END
#endif

// GCC 12 at -O3 warns -Wstringop-overflow inside std::vector ("writing 1 or
// more bytes into a region of size 0") where bytes are inserted into a vector
// reserved with a size it cannot see: it takes the reserved room for none.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#define PT_GCC12_RESERVED_INSERT_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wstringop-overflow\"")
#define PT_GCC12_RESERVED_INSERT_END _Pragma("GCC diagnostic pop")
#else
#define PT_GCC12_RESERVED_INSERT_BEGIN
#define PT_GCC12_RESERVED_INSERT_END
#endif
