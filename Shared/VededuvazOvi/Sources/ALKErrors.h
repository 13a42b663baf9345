#pragma once

#include <cstdint>

// The error domain of the analytics library. Its errors carry no description.
inline constexpr const char* ALKErrorDomain = "VededuvazOvi";

// A pipeline stage cannot run (closed, executing, suspended or without input).
inline constexpr std::int64_t kALKErrorCannotExecute = -300;
// A stage's execution block raised an exception; its text is under
// kALKErrorExceptionKey.
inline constexpr std::int64_t kALKErrorExecutionException = -302;
inline constexpr const char* kALKErrorExceptionKey = "exception";
