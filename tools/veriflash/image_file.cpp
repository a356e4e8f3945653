#include "tools/veriflash/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/core.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "common/held_scratch.h"
#include "module/check/end_of_pei.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/tool_error.h"
#include "vplat/flash_image.h"

namespace veriflash {
namespace {

// Closes a descriptor when the scope ends.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void Fail(const std::string& path, const std::string& reason) {
  throw ToolError(fmt::format("{}: {}", path, reason));
}

std::string SystemError() { return std::strerror(errno); }

// The name of the tool's temporaries beside the files it writes.
constexpr const char* SCRATCH_TAG = "veriflash-tmp";

}  // namespace

std::string ImageSizeProblem(uint64_t size) {
  const std::string problem = firmware::FlashFileSizeProblem(size);
  if (!problem.empty()) return problem;
  if (size > MAX_IMAGE_SIZE)
    return fmt::format("{} bytes ({}) is more than the {} flash window below 4 GiB", size, Hex(size),
                       SizeText(MAX_IMAGE_SIZE));
  if (size < MIN_IMAGE_SIZE)
    return fmt::format("{} bytes ({}) starts at {}, above the checked region at {}: it needs at least {} bytes",
                       size, Hex(size), Hex(firmware::FOUR_GIB - size, 8), Hex(VERIFIED_REGION_BASE, 8),
                       Hex(MIN_IMAGE_SIZE));
  return "";
}

std::vector<uint8_t> ReadFile(const std::string& path, const std::string& what, uint64_t maxSize) {
  // Non-blocking, so that a FIFO with no writer is refused below instead of
  // waiting for one; a regular file reads the same either way.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) Fail(path, "cannot open " + what + ": " + SystemError());
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) Fail(path, "cannot read " + what + ": " + SystemError());
  if (!S_ISREG(info.st_mode)) Fail(path, "not a regular file");
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size == 0) Fail(path, "empty file, not a " + what);
  if (size > maxSize)
    Fail(path, fmt::format("{} bytes is more than a {} can be ({} bytes)", size, what, maxSize));
  std::vector<uint8_t> bytes(size);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(path, fmt::format("read error at offset {}: {}", Hex(done), SystemError()));
    if (n == 0) Fail(path, fmt::format("file ended at offset {}, before its size {}", Hex(done), Hex(size)));
    done += static_cast<size_t>(n);
  }
  return bytes;
}

std::vector<uint8_t> LoadImage(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    const std::string problem = firmware::FlashFileSizeProblem(static_cast<uint64_t>(info.st_size));
    if (!problem.empty()) Fail(path, problem);
  }
  std::vector<uint8_t> image = ReadFile(path, "flash image", firmware::FLASH_ADDRESSABLE_SIZE);
  const std::string problem = firmware::FlashFileSizeProblem(image.size());  // it may have changed since stat
  if (!problem.empty()) Fail(path, problem);
  return image;
}

namespace {

// Puts `bytes` at `path`: written to a held temporary beside it, given
// `mode` (and `owner`'s uid and gid, when set), flushed, then renamed over
// `path` (with `replace`) or linked to it (without: link() refuses an
// existing name, so nothing is ever overwritten).
void Commit(const std::string& path, const std::vector<uint8_t>& bytes, mode_t mode, const struct stat* owner,
            bool replace) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  common::RemoveStaleScratch(folder.empty() ? "." : folder, SCRATCH_TAG);
  std::optional<common::HeldScratch> temporary;
  try {
    temporary.emplace(common::HeldScratch::File(path + ".", SCRATCH_TAG));
  } catch (const std::system_error& e) {
    Fail(path, "cannot create a temporary file beside it: " + e.code().message());
  }
  const int fd = temporary->fd();
  const char* temp = temporary->path().c_str();
  // chown first: it clears the set-user-ID and set-group-ID bits that fchmod then restores.
  if (owner && ::fchown(fd, owner->st_uid, owner->st_gid) != 0) {
    const int error = errno;
    ::unlink(temp);
    Fail(path, fmt::format("cannot keep its owner and group {}:{} ({}); nothing written", owner->st_uid,
                           owner->st_gid, std::strerror(error)));
  }
  bool ok = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ok && (replace ? ::rename(temp, path.c_str()) : ::link(temp, path.c_str())) == 0;
  const int error = errno;
  if (!(ok && replace)) ::unlink(temp);
  if (ok) {
    // The new name must outlive a power cut as well.
    Descriptor dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return;
  }
  if (error == EEXIST) Fail(path, "exists already; give --force to replace it");
  errno = error;
  Fail(path, "cannot write: " + SystemError());
}

// Root may write any file; a file that nobody may write was made read-only on
// purpose, so it is refused to root as well.
bool MayWrite(const std::string& path, const struct stat& info) {
  if (::geteuid() == 0) return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

}  // namespace

void WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, bool replace) {
  // rename() would put a regular file in the place of a device node or a link.
  struct stat existing {};
  if (replace && ::lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
    Fail(path, "is not a regular file; --force replaces regular files only");
  const mode_t mask = ::umask(0);
  ::umask(mask);
  Commit(path, bytes, 0666 & ~mask, nullptr, replace);
}

void ReplaceFileInPlace(const std::string& path, const std::vector<uint8_t>& bytes) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) Fail(path, "cannot replace: " + SystemError());
  if (S_ISLNK(info.st_mode)) {
    std::error_code ignored;
    Fail(path, fmt::format("is a symbolic link to {}; --in-place replaces regular files only: name the file itself",
                           std::filesystem::read_symlink(path, ignored).string()));
  }
  if (!S_ISREG(info.st_mode)) Fail(path, "is not a regular file; --in-place replaces regular files only");
  if (info.st_nlink > 1)
    Fail(path, fmt::format("has {} hard links, which would keep the old bytes; write to -o OUT instead",
                           info.st_nlink));
  if (!MayWrite(path, info))
    Fail(path, fmt::format("is read-only for you (mode {:04o}); --in-place writes only a file you may write, and "
                           "as root one with a write permission bit",
                           info.st_mode & 07777));
  Commit(path, bytes, info.st_mode & 07777, &info, true);
}

}  // namespace veriflash
