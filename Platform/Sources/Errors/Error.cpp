#include "Errors/Error.h"

#include <functional>

namespace platform {

Error::Error(std::string domain, std::int64_t code, Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

ErrorPtr Error::make(std::string domain, std::int64_t code, Dictionary userInfo) {
  return std::make_shared<Error>(std::move(domain), code, std::move(userInfo));
}

ErrorPtr Error::withUnderlying(std::string domain, std::int64_t code, ErrorPtr underlying,
                               Dictionary userInfo) {
  if (underlying) {
    userInfo.set(kUnderlyingErrorKey, Value(std::move(underlying)));
  }
  return make(std::move(domain), code, std::move(userInfo));
}

ErrorPtr Error::cancelled() { return make(kCocoaErrorDomain, kUserCancelledError); }

ErrorPtr Error::underlyingError() const {
  return userInfo_.objectForKey(kUnderlyingErrorKey).objectAs<Error>();
}

std::string Error::localizedDescription() const {
  if (auto value = userInfo_.find(kLocalizedDescriptionKey); value && value->string()) return *value->string();
  return "The operation couldn't be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

bool Error::isEqual(const Object& other) const {
  auto error = dynamic_cast<const Error*>(&other);
  return error && error->domain_ == domain_ && error->code_ == code_ && error->userInfo_ == userInfo_;
}

std::size_t Error::hash() const { return std::hash<std::string>()(domain_) ^ static_cast<std::size_t>(code_); }

std::string Error::description() const {
  std::string text = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"";
  auto message = userInfo_.find(kLocalizedDescriptionKey);
  text += message && message->string() ? *message->string() : "(null)";
  text += "\"";
  if (!userInfo_.empty()) {
    text += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : userInfo_) {
      if (!first) text += ", ";
      first = false;
      text += key + "=" + value.description();
    }
    text += "}";
  }
  return text;
}

}  // namespace platform
