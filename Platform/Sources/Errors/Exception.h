#pragma once

#include <exception>
#include <functional>
#include <string>

#include "Values/Dictionary.h"

namespace platform {

// An exception as the platform raises them for programming errors: a name, a
// reason and a user-info dictionary. Failures of normal operation are Error
// values, never exceptions.
class Exception : public std::exception {
 public:
  static constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
  static constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
  static constexpr const char* kRangeException = "NSRangeException";

  Exception(std::string name, std::string reason, Dictionary userInfo = {});

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Dictionary& userInfo() const { return userInfo_; }
  // The reason.
  const char* what() const noexcept override { return reason_.c_str(); }

  // The uncaught-exception handler. While one is installed, std::terminate
  // calls it with the escaping exception before the process aborts: a
  // platform::Exception as it is, any other std::exception as one named
  // "std::exception" with its what() as the reason, anything else as one
  // named "unknown exception". It runs on the thread that terminates, once.
  // nullptr uninstalls it and restores the previous terminate handler.
  // Thread-safe.
  static void setUncaughtExceptionHandler(std::function<void(const Exception&)> handler);
  static std::function<void(const Exception&)> uncaughtExceptionHandler();

 private:
  std::string name_;
  std::string reason_;
  Dictionary userInfo_;
};

}  // namespace platform
