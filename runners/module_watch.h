// Evidence that a module in the firmware ran its check, gathered through
// QEMU's gdbstub while the firmware boots: a breakpoint at the module's entry
// and at the end-of-PEI callback it registers, each followed to its return
// for the status it gives back. A module dispatched before memory runs where
// it lies; one dispatched after memory runs from a copy the PEI core makes,
// so a read watchpoint on its entry bytes catches the PEI core reading them,
// and the copy is then found in guest memory by its headers. Nothing here
// guesses an address: every one comes from the image or from the guest.
// While a module's call runs, the handlers of the processor's exceptions (read
// from the IDT) are breakpoints too, so a module that faults is seen at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace runners {

struct WatchedModule {
  uint32_t base = 0;                   // where its image lies in place (its ImageBase)
  uint32_t entryRva = 0;
  std::optional<uint32_t> endOfPeiRva;  // the callback its end-of-PEI notify descriptor names
  std::vector<uint8_t> headers;        // DOS stub and COFF header: how a copy is recognised
};

// The module as it lies in the firmware (RVA = offset, rebased to its place).
// Throws firmware::PeError for an image that cannot be read.
WatchedModule WatchModule(std::span<const uint8_t> image);

struct ModuleEvidence {
  uint32_t placedAt = 0;               // where the image lies in place
  std::optional<uint32_t> ranAt;       // the image base its entry ran at
  std::optional<uint32_t> entryStatus;
  bool endOfPeiEntered = false;
  std::optional<uint32_t> endOfPeiStatus;
  // A processor exception taken while its entry or its check ran: the
  // vector, and the address of the instruction it was taken at.
  std::optional<uint8_t> faultVector;
  std::optional<uint32_t> faultAddress;
};

// Where the gdbstub's register block holds EAX, ESP and EIP: qemu-system-i386
// gives 32-bit registers in i386 order, qemu-system-x86_64 64-bit ones in
// x86-64 order, even while the guest runs 32-bit code.
struct StubRegisters {
  unsigned width, eax, esp, eip;  // bytes per register; indices
};
inline constexpr StubRegisters I386_STUB = {4, 0, 4, 8};
inline constexpr StubRegisters X86_64_STUB = {8, 0, 7, 16};

struct WatchSetup {
  std::string gdbSocket;
  std::string monitorSocket;
  std::string dumpPipe;  // a named pipe guest memory is streamed through
  uint32_t ramBytes = 0;
  StubRegisters registers = I386_STUB;
  std::vector<WatchedModule> modules;
};

// Watches on a thread of its own from construction (QEMU started with -S
// waits for it) until Finish().
class ModuleWatch {
 public:
  explicit ModuleWatch(WatchSetup setup);
  ~ModuleWatch();
  ModuleWatch(const ModuleWatch&) = delete;
  ModuleWatch& operator=(const ModuleWatch&) = delete;

  // Stops watching; the evidence so far, one entry per module.
  std::vector<ModuleEvidence> Finish();
  // Why the watch could not go on (the stub failed), empty when it did;
  // read it after Finish().
  const std::string& Problem() const { return problem_; }
  // The watch has given up: the guest may be held stopped.
  bool Failed() const { return failed_; }
  // A module took a processor exception: the boot will not go on.
  bool Faulted() const { return faulted_; }

 private:
  void Watch();

  WatchSetup setup_;
  std::vector<ModuleEvidence> evidence_;
  std::string problem_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::atomic<bool> faulted_{false};
  std::thread thread_;
};

}  // namespace runners
