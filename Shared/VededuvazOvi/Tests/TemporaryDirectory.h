#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

// A fresh directory under /tmp, removed with everything in it at the end of
// the scope.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    char pattern[] = "/tmp/VededuvazOviTests.XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
