#pragma once

#include <memory>

#include "IALKLogger.h"

// Raises the shared logger's indentation for the life of the guard, so that
// the lines of nested calls are indented two spaces deeper per level, and
// lowers it again on the same logger however the scope is left.
class ALKLogIndent {
 public:
  ALKLogIndent();
  ~ALKLogIndent();
  ALKLogIndent(const ALKLogIndent&) = delete;
  ALKLogIndent& operator=(const ALKLogIndent&) = delete;

 private:
  std::shared_ptr<IALKLogger> logger_;
};
