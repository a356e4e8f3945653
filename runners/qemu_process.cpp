#include "runners/qemu_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <regex>
#include <system_error>
#include <thread>

#include "runners/run_qemu.h"

namespace runners {

namespace {

constexpr const char* WORK_DIR_TAG = "veriflash-qemu";

common::HeldScratch MakeWorkDir() {
  const std::string folder = std::filesystem::temp_directory_path().string();
  common::RemoveStaleScratch(folder, WORK_DIR_TAG);
  try {
    return common::HeldScratch::Folder(folder + "/", WORK_DIR_TAG);
  } catch (const std::system_error& e) {
    throw QemuError("cannot create a temporary directory in " + folder + ": " + e.code().message());
  }
}

}  // namespace

WorkDir::WorkDir() : held_(MakeWorkDir()) {}

WorkDir::~WorkDir() {
  std::error_code ignored;
  std::filesystem::remove_all(held_.path(), ignored);
}

Child::Child(const std::string& program, const std::vector<std::string>& args, const std::string& errors) {
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

Child::~Child() {
  if (pid_ <= 0 || exited_) return;
  ::kill(pid_, SIGKILL);
  int status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

int Child::Stop() {
  if (!exited_) {
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return status_;
}

std::optional<int> Child::Exited() {
  if (exited_) return status_;
  int status;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
  exited_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

SignalGuard::SignalGuard() {
  caught_ = 0;
  struct sigaction action {};
  action.sa_handler = [](int signal) { caught_ = signal; };
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < std::size(SIGNALS); ++i) ::sigaction(SIGNALS[i], &action, &old_[i]);
}

SignalGuard::~SignalGuard() {
  for (size_t i = 0; i < std::size(SIGNALS); ++i) ::sigaction(SIGNALS[i], &old_[i], nullptr);
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

Monitor::Monitor(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  const timeval timeout{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  ReadToPrompt();
}

Monitor::~Monitor() {
  if (fd_ >= 0) ::close(fd_);
}

std::string Monitor::ReadToPrompt() {
  std::string text;
  char buffer[4096];
  while (text.find("(qemu) ") == std::string::npos) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

std::string Monitor::Run(const std::string& command) {
  if (fd_ < 0) return {};
  const std::string line = command + "\n";
  if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
  return ReadToPrompt();
}

bool Monitor::StreamMemory(uint32_t bytes, const std::string& pipePath,
                           const std::function<void(uint32_t, std::span<const uint8_t>)>& take) {
  if (fd_ < 0) return false;
  // Our end first, without waiting, so QEMU's open for writing finds a reader.
  const int pipe = ::open(pipePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (pipe < 0) return false;
  const std::string line = "pmemsave 0 " + std::to_string(bytes) + " \"" + pipePath + "\"\n";
  bool ok = ::write(fd_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  std::string reply;
  uint32_t at = 0;
  std::vector<uint8_t> buffer(1 << 20);
  // QEMU writes the pipe, then answers on the monitor; read both until the
  // prompt comes back and the pipe is empty.
  bool writerGone = false;
  while (ok) {
    pollfd fds[2] = {{writerGone ? -1 : pipe, POLLIN, 0}, {fd_, POLLIN, 0}};
    if (::poll(fds, 2, 5000) <= 0) break;
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      const ssize_t n = ::read(pipe, buffer.data(), buffer.size());
      if (n > 0) {
        take(at, std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
        at += static_cast<uint32_t>(n);
        continue;
      }
      // End of file before any byte: QEMU has not opened the pipe yet.
      writerGone = n == 0 && at > 0;
      if (n == 0 && at == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fds[1].revents & POLLIN) {
      char text[4096];
      const ssize_t n = ::read(fd_, text, sizeof text);
      if (n <= 0) break;
      reply.append(text, static_cast<size_t>(n));
      if (reply.find("(qemu) ") != std::string::npos) {
        for (ssize_t m; (m = ::read(pipe, buffer.data(), buffer.size())) > 0; at += static_cast<uint32_t>(m))
          take(at, std::span<const uint8_t>(buffer.data(), static_cast<size_t>(m)));
        break;
      }
    }
  }
  ::close(pipe);
  return ok && at == bytes;
}

std::vector<uint32_t> SampleEips(const std::string& socketPath, int samples) {
  std::vector<uint32_t> eips;
  Monitor monitor(socketPath);
  const std::regex eip("EIP=([0-9a-fA-F]{8})");
  for (int i = 0; i < samples; ++i) {
    std::smatch match;
    const std::string reply = monitor.Run("info registers");
    if (std::regex_search(reply, match, eip)) eips.push_back(static_cast<uint32_t>(std::stoul(match[1], nullptr, 16)));
  }
  return eips;
}

}  // namespace runners
