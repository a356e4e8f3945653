// The temporary files and folders the tool makes for its own work (an image
// being written beside its final name, a QEMU boot's folder). Each is named
// "<stem><tag>-<pid>-XXXXXX" and holds an flock for as long as its maker
// lives; the kernel drops the lock when the maker dies, even by SIGKILL. So a
// later run can tell a leftover of a killed run from one still in use, and
// removes it.
#pragma once

#include <string>

namespace common {

// A temporary file or folder this process made and holds the lock of. The
// object closes it (dropping the lock) when it goes; it does not remove it:
// the caller renames or removes it once done.
class HeldScratch {
 public:
  // A new empty file (mode 0600) or folder (0700) named
  // "<stem><tag>-<pid>-XXXXXX". Throws std::system_error.
  static HeldScratch File(const std::string& stem, const std::string& tag);
  static HeldScratch Folder(const std::string& stem, const std::string& tag);

  ~HeldScratch();
  HeldScratch(HeldScratch&& other) noexcept;
  HeldScratch& operator=(HeldScratch&&) = delete;
  HeldScratch(const HeldScratch&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  HeldScratch(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_ = -1;
};

// Removes from `folder` the leftovers of `tag`: entries owned by this user
// whose name ends in "<tag>-<pid>-XXXXXX", that no process holds the lock of
// and whose pid is no longer a live process. Entries it cannot judge or
// remove stay; it never throws.
void RemoveStaleScratch(const std::string& folder, const std::string& tag);

}  // namespace common
