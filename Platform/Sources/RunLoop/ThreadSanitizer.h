#pragma once

// GLib orders the callbacks of a source with its own locks, which
// ThreadSanitizer cannot see: GLib is not built with it. The glue between our
// objects and GLib sources states that order here, keyed by the source. Empty
// in every other build.
#if defined(__SANITIZE_THREAD__)
#define PLATFORM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLATFORM_TSAN 1
#endif
#endif

#ifdef PLATFORM_TSAN
#include <sanitizer/tsan_interface.h>
// Everything before this point happens before a later acquire of `address`.
#define PLATFORM_TSAN_RELEASE(address) __tsan_release(static_cast<void*>(address))
// Everything after a release of `address` happens before this point.
#define PLATFORM_TSAN_ACQUIRE(address) __tsan_acquire(static_cast<void*>(address))
#else
#define PLATFORM_TSAN_RELEASE(address) ((void)(address))
#define PLATFORM_TSAN_ACQUIRE(address) ((void)(address))
#endif
