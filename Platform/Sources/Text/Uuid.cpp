#include "Text/Uuid.h"

#include <uuid/uuid.h>

namespace platform {

std::string Uuid::newString() {
  uuid_t uuid;
  uuid_generate(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return std::string(text, 36);
}

}  // namespace platform
