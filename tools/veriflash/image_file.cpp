#include "tools/veriflash/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fmt/core.h>

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

void WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, bool replace) {
  // rename() would put a regular file in the place of a device node or a link.
  struct stat existing {};
  if (replace && ::lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
    Fail(path, "is not a regular file; --force replaces regular files only");
  std::string temporary = path + ".XXXXXX";
  Descriptor fd(::mkstemp(temporary.data()));
  if (fd.get() < 0) Fail(path, "cannot create a temporary file beside it: " + SystemError());
  const mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = ::fchmod(fd.get(), 0666 & ~mask) == 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd.get()) == 0;
  // link() refuses an existing name, so without `replace` nothing is ever overwritten.
  ok = ok && (replace ? ::rename(temporary.c_str(), path.c_str()) : ::link(temporary.c_str(), path.c_str())) == 0;
  const int error = errno;
  ::unlink(temporary.c_str());
  if (ok) return;
  if (error == EEXIST) Fail(path, "exists already; give --force to replace it");
  errno = error;
  Fail(path, "cannot write: " + SystemError());
}

}  // namespace veriflash
