#pragma once

#include <cstdint>
#include <span>

#include "Errors/Error.h"

class DQChunkedBodyParser;

// What a chunked body parser reports. Every call comes on the thread that
// feeds the parser, from inside its appendData. A delegate must not feed the
// same parser from these calls.
class DQChunkedBodyParserDelegate {
 public:
  virtual ~DQChunkedBodyParserDelegate() = default;
  // The decoded bytes of one chunk piece; they are valid during the call only.
  virtual void parser(DQChunkedBodyParser& parser, std::span<const std::uint8_t> didParseData) = 0;
  // The last chunk and the end of the body were read.
  virtual void parserDidFinish(DQChunkedBodyParser& parser) = 0;
  // The body is malformed; the parser takes nothing more.
  virtual void parser(DQChunkedBodyParser& parser, const platform::ErrorPtr& didEncounterError) = 0;
};
