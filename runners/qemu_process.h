// The plumbing of a QEMU boot: a scratch directory, the QEMU process (which
// never outlives the run, nor the tool), signals turned into a flag while a
// boot runs, finding the program, and EIP samples through QEMU's HMP monitor.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <optional>
#include <string>
#include <vector>

#include "common/held_scratch.h"

namespace runners {

// A fresh directory for one boot's files ("veriflash-qemu-<pid>-XXXXXX" in
// the system's temporary folder), removed with everything in it. It holds
// the folder's lock while it lives, and removes first the folders that
// killed runs left behind.
class WorkDir {
 public:
  WorkDir();
  ~WorkDir();
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  std::string File(const char* name) const { return (std::filesystem::path(held_.path()) / name).string(); }

 private:
  common::HeldScratch held_;
};

// A child process, killed and reaped when the object goes, however the run
// ends; it also dies with its parent (PR_SET_PDEATHSIG), so a killed tool
// leaves none behind. stdin and stdout are /dev/null, stderr goes to `errors`.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args, const std::string& errors);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status once the process has ended by itself (128 + signal when killed).
  std::optional<int> Exited();
  // Ends the process now if it still runs; its exit status.
  int Stop();

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// While it lives, SIGINT, SIGTERM and SIGHUP only raise a flag, so a run can
// stop QEMU and remove its files before it ends; the old handlers come back
// afterwards.
class SignalGuard {
 public:
  SignalGuard();
  ~SignalGuard();
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;
  static int Caught() { return caught_; }  // the signal, 0 for none

 private:
  static constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
  static inline volatile sig_atomic_t caught_ = 0;
  struct sigaction old_[std::size(SIGNALS)] {};
};

// `name` itself when it holds a slash, else the first executable of that
// name on PATH. Throws QemuError naming the Debian package to install.
std::string FindProgram(const std::string& name);

// QEMU's HMP monitor on the unix socket at `socketPath`: one command at a
// time, each reply read up to the next prompt, every read bounded by a
// second. A monitor that does not answer gives empty replies.
class Monitor {
 public:
  explicit Monitor(const std::string& socketPath);
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;
  std::string Run(const std::string& command);
  // Guest memory [0, bytes) through `pipePath` (a named pipe the run made),
  // handed to `take` piece by piece with the address of each piece's first
  // byte; nothing of it is stored. False when the monitor would not do it.
  bool StreamMemory(uint32_t bytes, const std::string& pipePath,
                    const std::function<void(uint32_t, std::span<const uint8_t>)>& take);

 private:
  std::string ReadToPrompt();
  int fd_ = -1;
};

// EIP samples through the monitor's `info registers`; empty when the
// monitor does not answer.
std::vector<uint32_t> SampleEips(const std::string& socketPath, int samples);

}  // namespace runners
