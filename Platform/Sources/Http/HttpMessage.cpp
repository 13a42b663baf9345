#include "Http/HttpMessage.h"
#include "System/CompilerWarnings.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

namespace platform {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// RFC 9110 token characters.
bool isTokenChar(unsigned char c) {
  return g_ascii_isalnum(c) || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isToken(std::string_view text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (!isTokenChar(c)) return false;
  }
  return true;
}

void append(Data& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

}  // namespace

std::shared_ptr<HttpMessage> HttpMessage::makeRequest(std::string_view method, const Url& url, std::string version) {
  if (!isToken(method)) return nullptr;
  std::shared_ptr<HttpMessage> message(new HttpMessage);
  message->isRequest_ = true;
  message->method_ = std::string(method);
  message->url_ = url;
  message->version_ = std::move(version);
  return message;
}

std::shared_ptr<HttpMessage> HttpMessage::makeResponse(int statusCode, std::string reasonPhrase, std::string version) {
  std::shared_ptr<HttpMessage> message(new HttpMessage);
  message->statusCode_ = statusCode;
  message->reasonPhrase_ = std::move(reasonPhrase);
  message->version_ = std::move(version);
  return message;
}

bool HttpMessage::isValidFieldName(std::string_view name) { return isToken(name); }

bool HttpMessage::isValidFieldValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::optional<std::string> HttpMessage::headerField(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [fieldName, fieldValue] : fields_) {
    if (!equalsIgnoringCase(fieldName, name)) continue;
    if (value) {
      *value += ", ";
      *value += fieldValue;
    } else {
      value = fieldValue;
    }
  }
  return value;
}

bool HttpMessage::setHeaderField(std::string_view name, std::optional<std::string_view> value) {
  if (!isValidFieldName(name) || (value && !isValidFieldValue(*value))) return false;
  std::vector<Field> kept;
  kept.reserve(fields_.size() + 1);
  bool placed = false;
  for (auto& field : fields_) {
    if (!equalsIgnoringCase(field.first, name)) {
      kept.push_back(std::move(field));
    } else if (value && !placed) {
      kept.emplace_back(std::string(name), std::string(*value));
      placed = true;
    }
  }
  if (value && !placed) kept.emplace_back(std::string(name), std::string(*value));
  fields_ = std::move(kept);
  return true;
}

bool HttpMessage::addHeaderField(std::string_view name, std::string_view value) {
  if (!isValidFieldName(name) || !isValidFieldValue(value)) return false;
  fields_.emplace_back(std::string(name), std::string(value));
  return true;
}

Dictionary HttpMessage::allHeaderFields() const {
  Dictionary fields;
  std::vector<std::string> seen;
  for (const auto& field : fields_) {
    bool known = false;
    for (const auto& name : seen) known = known || equalsIgnoringCase(name, field.first);
    if (known) continue;
    seen.push_back(field.first);
    fields.set(field.first, Value(*headerField(field.first)));
  }
  return fields;
}

bool HttpMessage::isChunked() const {
  const std::optional<std::string> codings = headerField("Transfer-Encoding");
  if (!codings) return false;
  static constexpr std::string_view kChunked = "chunked";
  const auto sameLetter = [](char a, char b) { return g_ascii_tolower(a) == g_ascii_tolower(b); };
  return std::search(codings->begin(), codings->end(), kChunked.begin(), kChunked.end(), sameLetter) != codings->end();
}

std::optional<std::uint64_t> HttpMessage::contentLengthValue(std::string_view value) {
  if (value.empty() || value.size() > 18) return std::nullopt;
  std::uint64_t length = 0;
  for (char c : value) {
    if (!g_ascii_isdigit(c)) return std::nullopt;
    length = length * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return length;
}

void HttpMessage::appendBody(const std::uint8_t* bytes, std::size_t length) {
  if (length > 0) body_.insert(body_.end(), bytes, bytes + length);
}

PT_GCC12_STRING_RESTRICT_BEGIN
std::string HttpMessage::hostFieldValue(const Url& url) {
  std::string host = url.host();
  // An IPv6 literal, without its zone, which means nothing to the peer (RFC
  // 6874). A colon alone does not make one: a host may hold an escaped colon.
  const std::string address = host.substr(0, host.find('%'));
  if (address.find(':') != std::string::npos && g_hostname_is_ip_address(address.c_str())) {
    host = "[" + address + "]";
  } else {
    host = Url::percentEncode(host, "!$&'()*+,;=");
  }
  const int port = url.port();
  const bool defaultPort = (port == 80 && url.hasScheme("http")) || (port == 443 && url.hasScheme("https"));
  if (port >= 0 && !defaultPort) host += ":" + std::to_string(port);
  return host;
}
PT_GCC12_STRING_RESTRICT_END

std::string HttpMessage::startLine() const {
  if (isRequest_) return method_ + " " + (url_ ? url_->pathAndQuery() : std::string("/")) + " " + version_;
  return version_ + " " + std::to_string(statusCode_) + (reasonPhrase_.empty() ? "" : " " + reasonPhrase_);
}

Data HttpMessage::serializedMessage() const {
  Data out;
  out.reserve(256 + body_.size());
  append(out, startLine());
  append(out, "\r\n");
  if (isRequest_ && url_ && !headerField("Host")) {
    append(out, "Host: ");
    append(out, hostFieldValue(*url_));
    append(out, "\r\n");
  }
  for (const auto& [name, value] : fields_) {
    append(out, name);
    append(out, ": ");
    append(out, value);
    append(out, "\r\n");
  }
  append(out, "\r\n");
  out.insert(out.end(), body_.begin(), body_.end());
  return out;
}

std::shared_ptr<Object> HttpMessage::copy() const { return std::shared_ptr<HttpMessage>(new HttpMessage(*this)); }

std::string HttpMessage::description() const {
  std::string text = startLine();
  for (const auto& [name, value] : fields_) text += "\n" + name + ": " + value;
  return text;
}

}  // namespace platform
