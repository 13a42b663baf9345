#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Values/Dictionary.h"
#include "Values/Object.h"
#include "Values/Url.h"
#include "Values/Value.h"

namespace platform {

// One HTTP/1.x message, request or response, as the platform's HTTP message
// type: a start line, header fields in the order they were set (names compare
// ignoring case) and a body.
//
// Field names must be tokens and values must hold no CR, LF or NUL, so that a
// serialised message always has the shape it claims; setters refuse anything
// else. A response is filled field by field, as a parser reads it.
//
// Not thread-safe: one thread at a time.
class HttpMessage : public Object {
 public:
  static constexpr const char* kVersion1_1 = "HTTP/1.1";
  using Field = std::pair<std::string, std::string>;

  // nullptr when the method is not a token.
  static std::shared_ptr<HttpMessage> makeRequest(std::string_view method, const Url& url,
                                                  std::string version = kVersion1_1);
  static std::shared_ptr<HttpMessage> makeResponse(int statusCode, std::string reasonPhrase = {},
                                                   std::string version = kVersion1_1);

  bool isRequest() const { return isRequest_; }
  const std::string& version() const { return version_; }
  // Request side ("" and nullopt for a response).
  const std::string& method() const { return method_; }
  const std::optional<Url>& url() const { return url_; }
  // Response side (0 and "" for a request).
  int statusCode() const { return statusCode_; }
  const std::string& reasonPhrase() const { return reasonPhrase_; }

  // The value of a field, looked up ignoring case; the values of a field
  // that appears more than once are joined with ", ".
  std::optional<std::string> headerField(std::string_view name) const;
  // Replaces every field of that name by one at the place of the first (or
  // at the end); nullopt removes them. False, and nothing changes, for a bad
  // name or value.
  bool setHeaderField(std::string_view name, std::optional<std::string_view> value);
  // Adds a further line for the field, as a parser meets repeated fields.
  bool addHeaderField(std::string_view name, std::string_view value);
  // Every line, in order, as set.
  const std::vector<Field>& headerFields() const { return fields_; }
  // Name (as first spelled) to value, repeated fields joined, in order.
  Dictionary allHeaderFields() const;
  // Whether "Transfer-Encoding" names the chunked coding.
  bool isChunked() const;

  // A Content-Length value: digits only (RFC 9110 section 8.6), so a
  // negative, empty, repeated ("5, 5"), overlong or trailing-garbage ("12abc")
  // value is nullopt, never read as its leading digits.
  static std::optional<std::uint64_t> contentLengthValue(std::string_view value);
  // Whether a response of this status has no body whatever its fields say
  // (1xx, 204, 304; RFC 9112 section 6.3).
  static bool statusHasNoBody(int status) { return (status >= 100 && status < 200) || status == 204 || status == 304; }

  const Data& body() const { return body_; }
  void setBody(Data body) { body_ = std::move(body); }
  void appendBody(const std::uint8_t* bytes, std::size_t length);

  // The message as it goes on the wire. A request's start line has the
  // origin-form target (path and query) and a Host field is added from the
  // URL when none is set; a response starts with its status line.
  Data serializedMessage() const;

  // The Host field's value for a URL: the host (an IPv6 literal in brackets,
  // without its zone; other hosts escaped as a URL writes them) and the port
  // when it is not the scheme's default.
  static std::string hostFieldValue(const Url& url);
  static bool isValidFieldName(std::string_view name);
  static bool isValidFieldValue(std::string_view value);

  std::shared_ptr<Object> copy() const override;
  // The start line and the fields, one per line.
  std::string description() const override;

 private:
  HttpMessage() = default;
  std::string startLine() const;

  bool isRequest_ = false;
  std::string version_;
  std::string method_;
  std::optional<Url> url_;
  int statusCode_ = 0;
  std::string reasonPhrase_;
  std::vector<Field> fields_;
  Data body_;
};

}  // namespace platform
