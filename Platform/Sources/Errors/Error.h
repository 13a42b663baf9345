#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Values/Dictionary.h"
#include "Values/Object.h"

namespace platform {

class Error;
using ErrorPtr = std::shared_ptr<Error>;

// A failure as a value: a domain, a code and a user-info dictionary that may
// hold the underlying error under kUnderlyingErrorKey. It has no setters, so one error can be shared freely.
class Error : public Object {
 public:
  static constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
  static constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
  static constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
  static constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
  static constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
  static constexpr const char* kFilePathKey = "NSFilePath";
  static constexpr std::int64_t kUserCancelledError = 3072;  // in kCocoaErrorDomain
  static constexpr std::int64_t kURLErrorTimedOut = -1001;   // in kURLErrorDomain

  Error(std::string domain, std::int64_t code, Dictionary userInfo = {});

  static ErrorPtr make(std::string domain, std::int64_t code, Dictionary userInfo = {});
  // The same domain and code with `underlying` under kUnderlyingErrorKey.
  static ErrorPtr withUnderlying(std::string domain, std::int64_t code, ErrorPtr underlying,
                                 Dictionary userInfo = {});
  // NSCocoaErrorDomain 3072.
  static ErrorPtr cancelled();

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const Dictionary& userInfo() const { return userInfo_; }
  ErrorPtr underlyingError() const;
  // The user info's description, or a generic text naming domain and code.
  std::string localizedDescription() const;

  bool is(std::string_view domain, std::int64_t code) const { return domain_ == domain && code_ == code; }

  std::string className() const override { return "NSError"; }
  bool isEqual(const Object& other) const override;
  std::size_t hash() const override;
  // Error Domain=NSCocoaErrorDomain Code=3072 "(null)" UserInfo={...}
  std::string description() const override;

 private:
  std::string domain_;
  std::int64_t code_;
  Dictionary userInfo_;
};

}  // namespace platform
