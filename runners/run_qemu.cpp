#include "runners/run_qemu.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "common/hex.h"
#include "firmware/firmware_volume.h"
#include "firmware/pi_layout.h"

namespace runners {

using common::Hex;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t POST_CODE_PORT = 0x80;
constexpr uint16_t PIT_PORTS[] = {0x42, 0x43, 0x61};  // counter 2, control word, port B
constexpr uint8_t POST_CODE_FAILED = 0x8F;
// Serial lines that only appear once the firmware is past PEI and DXE: the
// boot manager's and the UEFI shell's banner.
constexpr const char* BOOT_MARKERS[] = {"BdsDxe: ", "UEFI Interactive Shell"};
constexpr auto POLL = std::chrono::milliseconds(50);
constexpr int EIP_SAMPLES = 3;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A fresh directory for one boot's files, removed with everything in it.
class WorkDir {
 public:
  WorkDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veriflash-qemu-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw QemuError("cannot create a temporary directory: " + std::string(std::strerror(errno)));
    path_ = pattern;
  }
  ~WorkDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The QEMU process; killed and reaped when the run ends, however it ends.
// The child also dies with its parent (PR_SET_PDEATHSIG), so a killed tool
// leaves no QEMU behind.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args, const std::string& errors) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw QemuError("cannot start " + program + ": " + std::strerror(errno));
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int null = ::open("/dev/null", O_RDWR);
      const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (pid_ <= 0 || exited_) return;
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status once the process has ended by itself.
  std::optional<int> Exited() {
    if (exited_) return status_;
    int status;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// While a boot runs, SIGINT, SIGTERM and SIGHUP only raise a flag, so the
// run can stop QEMU and remove its files before it ends; the old handlers
// come back afterwards.
class SignalGuard {
 public:
  SignalGuard() {
    caught_ = 0;
    struct sigaction action {};
    action.sa_handler = [](int signal) { caught_ = signal; };
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(SIGNALS); ++i) ::sigaction(SIGNALS[i], &action, &old_[i]);
  }
  ~SignalGuard() {
    for (size_t i = 0; i < std::size(SIGNALS); ++i) ::sigaction(SIGNALS[i], &old_[i], nullptr);
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;
  static int Caught() { return caught_; }

 private:
  static constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
  static inline volatile sig_atomic_t caught_ = 0;
  struct sigaction old_[std::size(SIGNALS)] {};
};

// Reads what has been appended to a file since the last call.
class Tail {
 public:
  explicit Tail(std::string path) : path_(std::move(path)) {}
  std::string More() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return {};
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += text.size();
    return text;
  }

 private:
  std::string path_;
  size_t offset_ = 0;
};

void WriteFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw QemuError("cannot write " + path);
}

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    if (::access(name.c_str(), X_OK) == 0) return name;
    throw QemuError(name + ": not an executable file");
  }
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  throw QemuError(name + " not found on PATH: install Debian's qemu-system-x86 package");
}

// EIP samples through the HMP monitor's `info registers`; empty when the
// monitor does not answer.
std::vector<uint32_t> SampleEips(const std::string& socketPath) {
  std::vector<uint32_t> eips;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return eips;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const timeval timeout{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    auto readPrompt = [fd] {
      std::string text;
      char buffer[4096];
      while (text.find("(qemu) ") == std::string::npos) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
      }
      return text;
    };
    readPrompt();
    const std::regex eip("EIP=([0-9a-fA-F]{8})");
    for (int i = 0; i < EIP_SAMPLES; ++i) {
      const char command[] = "info registers\n";
      if (::write(fd, command, sizeof command - 1) != static_cast<ssize_t>(sizeof command - 1)) break;
      std::smatch match;
      const std::string reply = readPrompt();
      if (std::regex_search(reply, match, eip)) eips.push_back(static_cast<uint32_t>(std::stoul(match[1], nullptr, 16)));
    }
  }
  ::close(fd);
  return eips;
}

bool IsPitPort(uint16_t port) { return std::find(std::begin(PIT_PORTS), std::end(PIT_PORTS), port) != std::end(PIT_PORTS); }

}  // namespace

const char* QemuEndName(QemuEnd end) {
  switch (end) {
    case QemuEnd::ReachedBoot: return "reached the boot manager";
    case QemuEnd::Halted: return "halted";
    case QemuEnd::TimedOut: return "timed out";
    case QemuEnd::Exited: return "QEMU exited";
  }
  return "?";
}

bool QemuOutcome::Wrote8F() const {
  return std::find(postCodes.begin(), postCodes.end(), POST_CODE_FAILED) != postCodes.end();
}

std::optional<size_t> CodePartOffset(std::span<const uint8_t> image) {
  // Every FFS volume in the image, in order.
  std::vector<std::pair<size_t, size_t>> volumes;
  for (size_t at = 0; at + sizeof(firmware::FirmwareVolumeHeader) <= image.size(); at += firmware::FFS_FILE_ALIGNMENT) {
    if (!firmware::HoldsFfsFiles(image.subspan(at))) continue;
    const uint64_t length = firmware::ReadRecord<firmware::FirmwareVolumeHeader>(image, at).FvLength;
    if (length > image.size() - at || length < firmware::FFS_FILE_ALIGNMENT) continue;
    volumes.emplace_back(at, at + length);
    at += length - firmware::FFS_FILE_ALIGNMENT;
  }
  if (volumes.empty() || volumes.back().second != image.size()) return std::nullopt;
  size_t start = volumes.back().first;
  for (auto v = volumes.rbegin() + 1; v != volumes.rend() && v->second == start; ++v) start = v->first;
  return start;
}

QemuOutcome RunQemu(std::span<const uint8_t> image, const QemuOptions& options) {
  const std::string qemu = FindProgram(options.qemu);
  const std::optional<size_t> code = CodePartOffset(image);
  if (!code || *code == 0)
    throw QemuError("the image does not end in a firmware's code part (firmware volumes up to 4 GiB below other "
                    "flash); make it with image create --firmware CODE.fd --vars VARS.fd");
  QemuOutcome outcome;
  outcome.codeSize = static_cast<uint32_t>(image.size() - *code);
  outcome.lowerSize = static_cast<uint32_t>(*code);

  WorkDir dir;
  WriteFile(dir.File("code.fd"), image.subspan(*code));
  WriteFile(dir.File("lower.fd"), image.first(*code));
  std::vector<std::string> args = {
      "-machine", "q35,smm=on,accel=tcg", "-m", "256",
      "-global", "driver=cfi.pflash01,property=secure,value=on",
      "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + dir.File("code.fd"),
      "-drive", "if=pflash,format=raw,unit=1,file=" + dir.File("lower.fd"),
      "-display", "none", "-no-reboot",
      "-serial", "file:" + dir.File("serial.log"),
      "-monitor", "unix:" + dir.File("monitor.sock") + ",server,nowait",
      // Writes only: with reads too the log grows to hundreds of MB.
      "-trace", "memory_region_ops_write", "-D", dir.File("trace.log")};
  if (options.gdbPort) {
    args.insert(args.end(), {"-S", "-gdb", "tcp:127.0.0.1:" + std::to_string(*options.gdbPort)});
  }

  const SignalGuard signals;
  const auto start = Clock::now();
  Child child(qemu, args, dir.File("qemu.err"));
  Tail trace(dir.File("trace.log")), serial(dir.File("serial.log"));
  std::string partialLine;
  auto lastActivity = Clock::now();
  std::optional<double> postCodeAt;  // when 0x8F was first seen
  for (;;) {
    std::this_thread::sleep_for(POLL);
    if (const int signal = SignalGuard::Caught())
      throw QemuError("interrupted by signal " + std::to_string(signal) + "; QEMU stopped");
    const std::optional<int> exited = child.Exited();
    bool active = false;
    std::string text = partialLine + trace.More();
    size_t lineStart = 0;
    for (size_t end; (end = text.find('\n', lineStart)) != std::string::npos; lineStart = end + 1) {
      const auto write = ParsePortWrite(std::string_view(text).substr(lineStart, end - lineStart));
      if (!write) continue;
      active = true;
      if (write->port == POST_CODE_PORT) outcome.postCodes.push_back(static_cast<uint8_t>(write->value));
      if (IsPitPort(write->port)) outcome.pitWrites.push_back(*write);
    }
    partialLine = text.substr(lineStart);
    const std::string newSerial = serial.More();
    if (!newSerial.empty()) active = true;
    outcome.serial += newSerial;
    if (active) lastActivity = Clock::now();

    for (const char* marker : BOOT_MARKERS) {
      const size_t at = outcome.serial.find(marker);
      const size_t lineEnd = at == std::string::npos ? at : outcome.serial.find_first_of("\r\n", at);
      if (at != std::string::npos && lineEnd != std::string::npos && outcome.end != QemuEnd::ReachedBoot) {
        outcome.end = QemuEnd::ReachedBoot;
        outcome.bootLine = outcome.serial.substr(at, lineEnd - at);
      }
    }
    if (outcome.end == QemuEnd::ReachedBoot) break;
    if (outcome.Wrote8F() && !postCodeAt) postCodeAt = Since(start);
    if (postCodeAt && std::chrono::duration<double>(Clock::now() - lastActivity).count() >= options.settleSeconds) {
      outcome.end = QemuEnd::Halted;
      outcome.seconds = *postCodeAt;
      outcome.haltEips = SampleEips(dir.File("monitor.sock"));
      break;
    }
    if (exited) {
      outcome.end = QemuEnd::Exited;
      outcome.exitStatus = exited;
      break;
    }
    if (Since(start) >= options.timeoutSeconds) {
      outcome.end = QemuEnd::TimedOut;
      break;
    }
  }
  if (outcome.end != QemuEnd::Halted) outcome.seconds = Since(start);
  std::ifstream errors(dir.File("qemu.err"));
  outcome.qemuErrors.assign(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
  if (outcome.end == QemuEnd::Exited && outcome.exitStatus == 127 && outcome.qemuErrors.empty())
    throw QemuError("cannot run " + qemu);
  return outcome;
}

}  // namespace runners
