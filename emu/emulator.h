// The processor behind the virtual platform: an i386 in flat 32-bit protected
// mode (Unicorn) running a module placed in the platform's flash, with the
// platform's RAM as its memory, the platform's ports, MMIO and open bus behind
// I/O and memory hooks, RDTSC answered from the platform's TSC, and the PEI
// services answered by the platform's PEI core model at their entry addresses.
//
// Every run is bounded: one instruction budget and one time budget for all
// the calls into the module together, and the platform's cap on device
// accesses. Whatever the module does, a call ends in one of three ways: it
// returns, it halts, or it is stopped with a one-line reason.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <unicorn/unicorn.h>

#include "vplat/platform.h"

namespace emu {

// A failed Unicorn call or a misuse of the emulator: not the module's doing.
class EmuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the module's image lies in the platform's flash.
struct ModuleSpan {
  uint32_t base = 0;
  uint32_t size = 0;
};

// Limits of one run, all calls into the module together.
struct Budget {
  uint64_t instructions = 1'000'000'000;
  std::chrono::milliseconds time{60'000};
};

struct CallResult {
  enum class End {
    Returned,  // to the return address: `eax` holds the result
    Halted,    // the processor stays where it is for ever: `detail` says how
    Stopped,   // the module faulted or overran a bound: `detail` says which
  };
  End end = End::Returned;
  uint32_t eax = 0;
  std::string detail;  // "hlt at EIP 0x...", "invalid instruction at EIP 0x...", ...
  uint64_t instructions = 0;
  uint32_t stackUsed = 0;  // deepest stack use in bytes, below the return address
};

class Emulator {
 public:
  // Maps the platform's RAM and flash (which must already hold the module);
  // everything else is reached through the platform's memory map. The time
  // budget starts now.
  Emulator(vplat::Platform& platform, const ModuleSpan& module, const Budget& budget);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Runs the function at `function` with 32-bit cdecl arguments on a fresh
  // stack until it returns, halts or is stopped. Throws EmuError only for
  // failures of the emulator itself. Notifications that the module registers
  // run through this emulator: keep it alive until the End-of-PEI signal.
  CallResult Call(uint32_t function, const std::vector<uint32_t>& args);
  // Every call so far, in order, notifications included.
  const std::vector<CallResult>& Calls() const { return calls_; }
  // Writes the module made into its own image in flash (its writable
  // globals): dropped as flash drops them, but counted apart from the
  // platform's dropped writes, which the host build cannot make.
  uint64_t SelfWrites() const { return selfWrites_; }

 private:
  struct Registers {
    uint32_t values[9];  // EAX, EBX, ECX, EDX, ESI, EDI, EBP, ESP, EFLAGS
    bool operator==(const Registers&) const = default;
  };
  struct BlockVisit {
    Registers registers;
    uint64_t epoch;
  };

  void MapMemory();
  void InstallHooks();
  uc_hook AddHook(int type, void* callback, uint64_t begin, uint64_t end, int instruction = 0);

  uint32_t Reg(int id);
  void SetReg(int id, uint32_t value);
  Registers ReadRegisters();
  // Mirrors EFLAGS.IF into the platform before it is consulted.
  void SyncInterruptFlag();
  // A device access or another input from outside the CPU: the halt
  // detector starts over, armed from the first one on.
  void NoteEvent() {
    ++epoch_;
    armed_ = true;
  }
  // Runs a hook's body; an exception stops the run and Call reports it.
  template <typename Body>
  auto Guard(Body body);

  void OnService(uint32_t address);
  vplat::NotifyRegistration Descriptor(uint32_t at);
  bool HookRdtscIn(uint32_t address, uint32_t size);
  void AfterRdtsc(uint32_t address);
  void OnBlock(uint32_t address, uint32_t size);
  void WatchRamWrites();
  void OnRamWrite(uint32_t address, int size, uint64_t value);
  uint32_t OnPortIn(uint16_t port, int size);
  void OnPortOut(uint16_t port, int size, uint32_t value);
  uint64_t OnBusRead(uint32_t address, unsigned size);
  void OnBusWrite(uint32_t address, unsigned size, uint64_t value);
  void OnFlashWrite(uint32_t address, int size, uint64_t value);
  void OnInterrupt(uint32_t vector);

  uc_err RunUntilTrap(uint32_t from);
  CallResult Finish(uc_err err, uint32_t entryEsp);
  std::string Where();
  std::string Where(uint32_t eip);
  void FillStackProbe();
  uint32_t MeasureStack(uint32_t entryEsp);

  vplat::Platform& platform_;
  Budget budget_;
  std::chrono::steady_clock::time_point deadline_;
  uint32_t moduleBase_;
  uint64_t moduleEnd_;  // exclusive: may be 4 GiB itself
  uc_engine* uc_ = nullptr;

  bool running_ = false;
  uint64_t instructions_ = 0;  // this call's
  uint64_t runInstructions_ = 0;  // every call's, against the budget
  uint64_t blocksSinceClockCheck_ = 0;
  std::optional<std::string> stop_;  // why the module was stopped
  std::optional<std::string> halt_;  // how the module halted
  bool armed_ = false;  // halt detection runs once the module touched a device
  uint64_t epoch_ = 0;
  std::unordered_map<uint32_t, BlockVisit> visits_;
  std::unordered_map<uint64_t, uint32_t> blockSizes_;  // (address, bytes) -> instructions
  std::pair<uint32_t, uint32_t> lastBlock_{};          // address and bytes of the block run last
  std::set<uint32_t> rdtscHooked_;                     // addresses of 0F 31 pairs with hooks
  // A range of code to translate anew, with new hooks, and run from its start.
  std::optional<std::pair<uint32_t, uint64_t>> restartAt_;
  uc_hook ramWriteHook_ = 0;
  uint32_t pendingTsc_ = 0;  // the instruction after an RDTSC that just ran
  std::exception_ptr error_;
  std::vector<CallResult> calls_;
  uint64_t selfWrites_ = 0;
};

}  // namespace emu
