// A client of QEMU's gdbstub (the GDB remote serial protocol) on a unix
// socket, with just what watching a module needs: breakpoints, watchpoints,
// registers, memory, continue and detach. Every wait is bounded, so a QEMU
// that dies or hangs never holds the run.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace runners {

class GdbRemote {
 public:
  // Connects to the stub listening on `socketPath`, waiting up to
  // `timeoutSeconds` for it to appear. Throws QemuError.
  GdbRemote(const std::string& socketPath, double timeoutSeconds);
  ~GdbRemote();
  GdbRemote(const GdbRemote&) = delete;
  GdbRemote& operator=(const GdbRemote&) = delete;

  enum class Point : char { Software = '0', Read = '3' };
  void Insert(Point point, uint32_t address, uint32_t length);
  void Remove(Point point, uint32_t address, uint32_t length);
  // The general registers as the stub lays them out ('g'; QEMU answers 'p'
  // only to a debugger that read its target description).
  std::vector<uint8_t> Registers();
  std::vector<uint8_t> Memory(uint32_t address, uint32_t length);
  // Resumes the guest and returns its stop reply ("T05...", "T05watch:..."),
  // or nullopt once `stop` is raised or the stub has gone.
  std::optional<std::string> Continue(const std::atomic<bool>& stop);
  // Executes one instruction; false once the stub has gone.
  bool Step();
  // Lets the guest run on without the stub's attention.
  void Detach();

 private:
  std::string Transact(const std::string& packet);
  void Send(const std::string& packet);
  // The next packet's payload; nullopt when none came within `timeoutMs`.
  std::optional<std::string> Receive(int timeoutMs);

  int fd_ = -1;
  std::string pending_;  // bytes read past the last packet
};

}  // namespace runners
