// The processor behind the virtual platform: an i386 in flat 32-bit protected
// mode (Unicorn) running a module placed in the platform's flash, with the
// platform's RAM as its memory, the platform's ports and MMIO behind I/O and
// memory hooks, RDTSC answered from the platform's TSC, and the PEI services
// answered by the platform's PEI core model at their entry addresses.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <unicorn/unicorn.h>

#include "vplat/platform.h"

namespace emu {

// A failed Unicorn call, a CPU fault, or a run that exceeded its budget; one line.
class EmuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the module's image lies in the platform's flash.
struct ModuleSpan {
  uint32_t base = 0;
  uint32_t size = 0;
};

// Limits of each call into the module.
struct Budget {
  uint64_t instructions = 1'000'000'000;
  std::chrono::milliseconds time{60'000};
};

struct CallResult {
  bool halted = false;       // the halt loop was recognised; the call did not return
  uint32_t eax = 0;          // the return value, when the call returned
  uint64_t instructions = 0;
  uint32_t stackUsed = 0;    // deepest stack use in bytes, below the return address
};

class Emulator {
 public:
  // Maps the platform's RAM and flash (which must already hold `module`);
  // everything else is reached through the platform's memory map.
  Emulator(vplat::Platform& platform, const ModuleSpan& module, const Budget& budget);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Runs the function at `function` with 32-bit cdecl arguments on a fresh
  // stack until it returns or halts. Throws EmuError. Notifications that the
  // module registers run through this emulator: keep it alive until the
  // End-of-PEI signal. A halted notification counts as returning EFI_SUCCESS,
  // as on the host, whose halt flag read releases the loop.
  CallResult Call(uint32_t function, const std::vector<uint32_t>& args);
  // Every call so far, in order, notifications included.
  const std::vector<CallResult>& Calls() const { return calls_; }
  // Writes the module made into its own image in flash (its writable
  // globals): dropped as flash drops them, but counted apart from the
  // platform's dropped writes, which the host build cannot make.
  uint64_t SelfWrites() const { return selfWrites_; }

 private:
  struct MmioPage {
    Emulator* emulator;
    uint32_t base;
  };
  struct Registers {
    uint32_t values[9];  // EAX, EBX, ECX, EDX, ESI, EDI, EBP, ESP, EFLAGS
    bool operator==(const Registers&) const = default;
  };
  struct BlockVisit {
    Registers registers;
    uint64_t epoch;
  };

  void MapMemory();
  void InstallHooks(const ModuleSpan& module);
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
  // Runs a hook's body; an exception stops the run and Call rethrows it.
  template <typename Body>
  auto Guard(Body body);

  void OnService(uint32_t address);
  vplat::NotifyRegistration Descriptor(uint32_t at);
  void AfterRdtsc(uint32_t address);
  void OnBlock(uint32_t address, uint32_t size);
  void WatchRamWrites();
  void OnRamWrite(uint32_t address, int size, uint64_t value);
  uint32_t OnPortIn(uint16_t port, int size);
  void OnPortOut(uint16_t port, int size, uint32_t value);
  bool OnUnmapped(uc_mem_type type, uint32_t address);
  uint64_t OnMmioRead(uint32_t address, unsigned size);
  void OnMmioWrite(uint32_t address, unsigned size, uint64_t value);
  void OnFlashWrite(uint32_t address, int size, uint64_t value);
  void OnInterrupt(uint32_t vector);

  std::string Where();
  void FillStackProbe();
  uint32_t MeasureStack(uint32_t entryEsp);

  vplat::Platform& platform_;
  Budget budget_;
  uint32_t moduleBase_;
  uint64_t moduleEnd_;  // exclusive: may be 4 GiB itself
  uc_engine* uc_ = nullptr;
  std::deque<MmioPage> mmioPages_;

  bool running_ = false;
  uint64_t instructions_ = 0;
  bool budgetExceeded_ = false;
  bool halted_ = false;
  bool armed_ = false;  // halt detection runs once the module touched a device
  uint64_t epoch_ = 0;
  std::unordered_map<uint32_t, BlockVisit> visits_;
  std::unordered_map<uint64_t, uint32_t> blockSizes_;  // (address, bytes) -> instructions
  uc_hook ramWriteHook_ = 0;
  uint32_t pendingTsc_ = 0;  // the instruction after an RDTSC that just ran
  std::exception_ptr error_;
  std::vector<CallResult> calls_;
  uint64_t selfWrites_ = 0;
};

}  // namespace emu
