#include "common/held_scratch.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace common {
namespace {

constexpr size_t RANDOM_PART = 6;  // the XXXXXX mkstemp and mkdtemp fill in

std::string Pattern(const std::string& stem, const std::string& tag) {
  return stem + tag + "-" + std::to_string(::getpid()) + "-" + std::string(RANDOM_PART, 'X');
}

[[noreturn]] void Throw(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

// The pid in a name ending in "<tag>-<pid>-XXXXXX", or 0.
pid_t PidOf(const std::string& name, const std::string& tag) {
  const std::string marker = tag + "-";
  const size_t at = name.rfind(marker);
  if (at == std::string::npos) return 0;
  const std::string rest = name.substr(at + marker.size());
  const size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string::npos || rest.size() - dash - 1 != RANDOM_PART || dash > 9) return 0;
  for (size_t i = 0; i < dash; ++i)
    if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return 0;
  return static_cast<pid_t>(std::stol(rest.substr(0, dash)));
}

bool Alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

HeldScratch HeldScratch::File(const std::string& stem, const std::string& tag) {
  std::string path = Pattern(stem, tag);
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) Throw("cannot create a temporary file");
  HeldScratch held(std::move(path), fd);
  if (::flock(fd, LOCK_EX) != 0) Throw("cannot lock " + held.path_);
  return held;
}

HeldScratch HeldScratch::Folder(const std::string& stem, const std::string& tag) {
  std::string path = Pattern(stem, tag);
  if (::mkdtemp(path.data()) == nullptr) Throw("cannot create a temporary folder");
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    ::rmdir(path.c_str());
    errno = error;
    Throw("cannot open " + path);
  }
  HeldScratch held(std::move(path), fd);
  if (::flock(fd, LOCK_EX) != 0) Throw("cannot lock " + held.path_);
  return held;
}

HeldScratch::~HeldScratch() {
  if (fd_ >= 0) ::close(fd_);
}

HeldScratch::HeldScratch(HeldScratch&& other) noexcept : path_(std::move(other.path_)), fd_(other.fd_) {
  other.fd_ = -1;
}

void RemoveStaleScratch(const std::string& folder, const std::string& tag) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const int dirFd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    const pid_t pid = PidOf(name, tag);
    struct stat info {};
    if (pid <= 0 || ::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (info.st_uid != ::geteuid() || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) continue;
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    // The lock free and the pid gone: the maker died. The pid alone could
    // have been reused, and a maker holds its lock only from just after it
    // created the entry; each check covers the other's gap.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && !Alive(pid)) {
      std::error_code ignored;
      if (S_ISDIR(info.st_mode))
        std::filesystem::remove_all(std::filesystem::path(folder) / name, ignored);
      else
        ::unlinkat(dirFd, name.c_str(), 0);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

}  // namespace common
