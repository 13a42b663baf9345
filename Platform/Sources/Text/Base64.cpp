#include "Text/Base64.h"

#include <glib.h>

namespace platform {
namespace {

bool isAlphabet(char c) { return g_ascii_isalnum(c) || c == '+' || c == '/'; }

std::string encodeBytes(const void* bytes, std::size_t length) {
  if (length == 0) return {};
  gchar* encoded = g_base64_encode(static_cast<const guchar*>(bytes), length);
  std::string text(encoded);
  g_free(encoded);
  return text;
}

}  // namespace

std::string Base64::encode(const Data& bytes) { return encodeBytes(bytes.data(), bytes.size()); }

std::string Base64::encode(std::string_view bytes) { return encodeBytes(bytes.data(), bytes.size()); }

std::optional<Data> Base64::decode(std::string_view text) {
  // GLib's decoder skips what it does not know, so the text is checked first.
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return Data{};
  std::size_t padding = 0;
  if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (!isAlphabet(text[i])) return std::nullopt;
  }
  const std::string terminated(text);
  gsize length = 0;
  guchar* decoded = g_base64_decode(terminated.c_str(), &length);
  Data bytes(decoded, decoded + length);
  g_free(decoded);
  return bytes;
}

}  // namespace platform
