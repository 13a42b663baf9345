#include "DQURLDataAccumulationConsumer.h"

#include <glib.h>

#include <algorithm>

#include "Http/HttpMessage.h"

namespace {

// The body length a response header announces, bounded by what a stream hands over.
std::size_t announcedLength(const platform::Dictionary& header) {
  for (const auto& [name, value] : header) {
    if (g_ascii_strcasecmp(name.c_str(), "Content-Length") != 0 || !value.string()) continue;
    const auto length = platform::HttpMessage::contentLengthValue(*value.string());
    return static_cast<std::size_t>(std::min<std::uint64_t>(length.value_or(0), IDQHTTPStream::kMaximumBodyLength));
  }
  return 0;
}

}  // namespace

void DQURLDataAccumulationConsumer::stream(IDQHTTPStream& stream, const platform::Data& didReceiveData) {
  // The first piece: the whole body goes into one allocation when its length
  // is known (a stream may hand data over before the response).
  if (responseData_.capacity() == 0) {
    const auto header = responseHeader() ? responseHeader() : stream.responseHeader();
    if (header) responseData_.reserve(std::max(announcedLength(*header), didReceiveData.size()));
  }
  responseData_.insert(responseData_.end(), didReceiveData.begin(), didReceiveData.end());
}
