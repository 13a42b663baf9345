#include "NSStringVededuvazOvi.h"

#include "Text/Uuid.h"

std::string com_zarn_alk_UUIDString() { return platform::Uuid::newString(); }
