#pragma once

#include <string>

// A new UUID in its canonical form: 36 upper-case hexadecimal characters in
// groups of 8-4-4-4-12 joined by "-".
std::string com_zarn_alk_UUIDString();
