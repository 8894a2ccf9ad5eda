// A small tmpfs mounted on a folder for the life of the object, for tests of
// a full or read-only disk. Mounting needs root (CI runs as root); without
// it, `skip_reason` says why the test cannot run.
#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace vistrel::test {

class TmpfsMount {
 public:
  TmpfsMount(const std::filesystem::path& folder, const std::string& options) : folder_(folder) {
    std::filesystem::create_directories(folder);
    if (::geteuid() != 0) {
      skip_reason_ = "mounting a tmpfs needs root";
    } else if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      skip_reason_ = std::string("mount -t tmpfs was refused: ") + std::strerror(errno);
    } else {
      mounted_ = true;
    }
  }
  ~TmpfsMount() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& skip_reason() const { return skip_reason_; }

 private:
  std::filesystem::path folder_;
  bool mounted_ = false;
  std::string skip_reason_;
};

}  // namespace vistrel::test
