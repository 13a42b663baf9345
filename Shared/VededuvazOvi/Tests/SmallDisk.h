#pragma once

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>

#include "TemporaryDirectory.h"

// A tmpfs of `size` bytes and, when `inodes` is given, that many inodes (its
// own folder takes one), mounted for the test where it runs as root.
class SmallDisk {
 public:
  explicit SmallDisk(std::size_t size, std::size_t inodes = 0) {
    std::string options = "size=" + std::to_string(size) + ",mode=0700";
    if (inodes > 0) options += ",nr_inodes=" + std::to_string(inodes);
    mounted_ = !folder_.path().empty() && ::mount("tmpfs", folder_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(folder_.path().c_str(), MNT_DETACH);
  }
  bool isMounted() const { return mounted_; }
  const std::string& path() const { return folder_.path(); }
  std::string file(const std::string& name) const { return folder_.file(name); }
  // Fills the disk with a file of its own until `bytes` stay free, or gives
  // back what the file holds beyond that.
  void leaveFree(std::size_t bytes) {
    const std::string filler = file("filler");
    std::error_code code;
    std::filesystem::remove(filler, code);
    struct statvfs disk {};
    ::statvfs(folder_.path().c_str(), &disk);
    const std::size_t available = disk.f_bavail * disk.f_frsize;
    std::ofstream(filler, std::ios::binary) << std::string(available > bytes ? available - bytes : 0, '\0');
  }

 private:
  TemporaryDirectory folder_;
  bool mounted_ = false;
};
