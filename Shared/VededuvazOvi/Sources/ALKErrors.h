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

// The read stage has nothing to pass on: no row, the earliest row is still on
// its way, or the store holds unsaved changes.
inline constexpr std::int64_t kALKErrorNothingToRead = -1;
// A store stage got an input of a kind it does not handle.
inline constexpr std::int64_t kALKErrorUnsupportedInput = -301;
