#include "emu/emulator.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/hex.h"

namespace emu {
namespace {

using common::Hex;

// RAM that nothing else uses: a call that returns here has finished.
constexpr uint32_t RETURN_TRAP = 0x000B0000;
// The stack below vplat::STACK_TOP is filled with this before each call and
// scanned afterwards for the deepest byte written.
constexpr uint32_t STACK_PROBE_SIZE = 0x40000;
constexpr uint8_t STACK_FILL = 0xA5;
// The service entries, one per service and the "unknown" one at the base.
constexpr uint32_t SERVICE_ENTRIES_END = vplat::SERVICE_ENTRY_BASE + 5 * vplat::SERVICE_ENTRY_STRIDE;
constexpr uint32_t PAGE_SIZE = 0x1000;
constexpr uint32_t EFLAGS_RESERVED = 1u << 1;
constexpr uint32_t EFLAGS_IF = 1u << 9;
// EFI_PEI_NOTIFY_DESCRIPTOR on IA-32: Flags, then the Guid and Notify pointers.
constexpr uint32_t NOTIFY_DESCRIPTOR_SIZE = 12;
constexpr uint8_t RDTSC_OPCODE[2] = {0x0F, 0x31};
constexpr uint8_t HLT_OPCODE = 0xF4;
// The time budget is also checked every this many blocks, in case Unicorn's
// own timer is late; a block takes well under a microsecond.
constexpr uint64_t BLOCKS_PER_CLOCK_CHECK = 1u << 16;

constexpr int REGISTER_IDS[9] = {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
                                 UC_X86_REG_EDI, UC_X86_REG_EBP, UC_X86_REG_ESP, UC_X86_REG_EFLAGS};

void Check(uc_err err, const char* what) {
  if (err != UC_ERR_OK) throw EmuError(std::string("unicorn: ") + what + ": " + uc_strerror(err));
}

// The module did something that ends its run: the hook that saw it throws this.
struct ModuleStop {
  std::string reason;
};

const char* ExceptionName(uint32_t vector) {
  switch (vector) {
    case 0: return "divide error";
    case 1: return "debug";
    case 3: return "breakpoint";
    case 4: return "overflow";
    case 5: return "bound range";
    case 6: return "invalid opcode";
    case 8: return "double fault";
    case 12: return "stack fault";
    case 13: return "general protection";
    case 14: return "page fault";
  }
  return "interrupt";
}

}  // namespace

Emulator::Emulator(vplat::Platform& platform, const ModuleSpan& module, const Budget& budget)
    : platform_(platform),
      budget_(budget),
      deadline_(std::chrono::steady_clock::now() + budget.time),
      moduleBase_(module.base),
      moduleEnd_(uint64_t{module.base} + module.size) {
  Check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "open");
  try {
    MapMemory();
    InstallHooks();
    // Limit 0x7FF: 256 gates of 8 bytes, the whole IDT; only its base matters here.
    const uc_x86_mmr idtr{0, platform_.idtBase, 0x7FF, 0};
    Check(uc_reg_write(uc_, UC_X86_REG_IDTR, &idtr), "write IDTR");
  } catch (...) {
    uc_close(uc_);  // already failing: its own status adds nothing
    throw;
  }
}

Emulator::~Emulator() { uc_close(uc_); }  // a destructor cannot report its status

// An exception must not cross Unicorn's C frames: the run is stopped, and
// Call reports what stopped it (a module's doing) or rethrows (the emulator's).
template <typename Body>
auto Emulator::Guard(Body body) {
  using Result = decltype(body());
  try {
    return body();
  } catch (const ModuleStop& stop) {
    if (!stop_) stop_ = stop.reason;
  } catch (const vplat::AccessLimitExceeded& e) {
    if (!stop_) stop_ = std::string(e.what()) + " " + Where();
  } catch (...) {
    if (!error_) error_ = std::current_exception();
  }
  // Should stopping fail too, the budget still ends the run and Call reports it.
  (void)uc_emu_stop(uc_);
  if constexpr (!std::is_void_v<Result>) return Result{};
}

void Emulator::MapMemory() {
  // RAM is the platform's own buffer: what the PEI core model writes (services
  // table, HOBs, pool) is what the CPU reads, and the reverse.
  Check(uc_mem_map_ptr(uc_, 0, vplat::RAM_SIZE, UC_PROT_ALL, platform_.memory.Ram(0, vplat::RAM_SIZE)), "map RAM");
  // Flash is a read-only copy; writes to it are dropped and counted by a hook.
  const auto& flash = platform_.memory.Flash();
  const uint32_t flashBase = platform_.memory.FlashBase();
  if (flash.empty() || flash.size() % PAGE_SIZE != 0 || flashBase < vplat::RAM_SIZE)
    throw EmuError("flash image of " + std::to_string(flash.size()) +
                   " bytes is not a whole number of 4 KiB pages above RAM");
  Check(uc_mem_map(uc_, flashBase, flash.size(), UC_PROT_READ | UC_PROT_EXEC), "map flash");
  Check(uc_mem_write(uc_, flashBase, flash.data(), flash.size()), "fill flash");
  // Everything between is the platform's memory map (devices and the open
  // bus) as one region: no access there, however wild, needs a mapping of its
  // own, and nothing there can be executed.
  auto read = +[](uc_engine*, uint64_t offset, unsigned size, void* user) -> uint64_t {
    auto* self = static_cast<Emulator*>(user);
    return self->Guard([&] { return self->OnBusRead(vplat::RAM_SIZE + static_cast<uint32_t>(offset), size); });
  };
  auto write = +[](uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
    auto* self = static_cast<Emulator*>(user);
    self->Guard([&] { self->OnBusWrite(vplat::RAM_SIZE + static_cast<uint32_t>(offset), size, value); });
  };
  Check(uc_mmio_map(uc_, vplat::RAM_SIZE, flashBase - vplat::RAM_SIZE, read, this, write, this), "map the bus");
}

uc_hook Emulator::AddHook(int type, void* callback, uint64_t begin, uint64_t end, int instruction) {
  uc_hook hook;
  const uc_err err = instruction != 0 ? uc_hook_add(uc_, &hook, type, callback, this, begin, end, instruction)
                                      : uc_hook_add(uc_, &hook, type, callback, this, begin, end);
  Check(err, "add hook");
  return hook;
}

void Emulator::InstallHooks() {
  using Self = Emulator;

  // Every translated block, wherever it lies: instruction count, budgets,
  // RDTSC interception and halt detection. A block hook costs one call per
  // block, not per instruction.
  AddHook(UC_HOOK_BLOCK,
          reinterpret_cast<void*>(+[](uc_engine*, uint64_t address, uint32_t size, void* user) {
            auto* self = static_cast<Self*>(user);
            self->Guard([&] { self->OnBlock(static_cast<uint32_t>(address), size); });
          }),
          1, 0);

  AddHook(UC_HOOK_CODE,
          reinterpret_cast<void*>(+[](uc_engine*, uint64_t address, uint32_t, void* user) {
            auto* self = static_cast<Self*>(user);
            self->Guard([&] { self->OnService(static_cast<uint32_t>(address)); });
          }),
          vplat::SERVICE_ENTRY_BASE, SERVICE_ENTRIES_END - 1);

  AddHook(UC_HOOK_INSN,
          reinterpret_cast<void*>(+[](uc_engine*, uint32_t port, int size, void* user) -> uint32_t {
            auto* self = static_cast<Self*>(user);
            return self->Guard([&] { return self->OnPortIn(static_cast<uint16_t>(port), size); });
          }),
          1, 0, UC_X86_INS_IN);
  AddHook(UC_HOOK_INSN,
          reinterpret_cast<void*>(+[](uc_engine*, uint32_t port, int size, uint32_t value, void* user) {
            auto* self = static_cast<Self*>(user);
            self->Guard([&] { self->OnPortOut(static_cast<uint16_t>(port), size, value); });
          }),
          1, 0, UC_X86_INS_OUT);

  AddHook(UC_HOOK_MEM_WRITE_PROT,
          reinterpret_cast<void*>(+[](uc_engine*, uc_mem_type, uint64_t address, int size, int64_t value, void* user) {
            auto* self = static_cast<Self*>(user);
            self->Guard([&] { self->OnFlashWrite(static_cast<uint32_t>(address), size, value); });
            return true;
          }),
          1, 0);
  AddHook(UC_HOOK_INTR,
          reinterpret_cast<void*>(+[](uc_engine*, uint32_t vector, void* user) {
            auto* self = static_cast<Self*>(user);
            self->Guard([&] { self->OnInterrupt(vector); });
          }),
          1, 0);
}

uint32_t Emulator::Reg(int id) {
  uint32_t value = 0;
  Check(uc_reg_read(uc_, id, &value), "read register");
  return value;
}

void Emulator::SetReg(int id, uint32_t value) { Check(uc_reg_write(uc_, id, &value), "write register"); }

Emulator::Registers Emulator::ReadRegisters() {
  Registers r{};
  void* pointers[9];
  for (int i = 0; i < 9; ++i) pointers[i] = &r.values[i];
  Check(uc_reg_read_batch(uc_, const_cast<int*>(REGISTER_IDS), pointers, 9), "read registers");
  return r;
}

void Emulator::SyncInterruptFlag() { platform_.interruptsEnabled = (Reg(UC_X86_REG_EFLAGS) & EFLAGS_IF) != 0; }

std::string Emulator::Where() { return Where(Reg(UC_X86_REG_EIP)); }

std::string Emulator::Where(uint32_t eip) {
  std::string text = "at EIP " + Hex(eip, 8);
  if (eip >= moduleBase_ && eip < moduleEnd_) text += " (module RVA " + Hex(eip - moduleBase_, 8) + ")";
  return text;
}

namespace {

// A service call's arguments on the emulated CPU's stack, above the return
// address; out-values are stored where the module's pointers say, as the
// core would store them.
class StackArguments : public vplat::ServiceArguments {
 public:
  StackArguments(vplat::MemoryMap& memory, uint32_t esp, std::function<vplat::NotifyRegistration(uint32_t)> descriptor)
      : memory_(memory), esp_(esp), descriptor_(std::move(descriptor)) {}

  uint32_t Word(int index) override { return memory_.Peek32(esp_ + 4 + 4 * static_cast<uint32_t>(index)); }
  void Store(int index, uint32_t value) override { memory_.Write(Word(index), 4, value); }
  vplat::NotifyRegistration Descriptor(int index, uint32_t entry) override {
    return descriptor_(Word(index) + NOTIFY_DESCRIPTOR_SIZE * entry);
  }

 private:
  vplat::MemoryMap& memory_;
  uint32_t esp_;
  std::function<vplat::NotifyRegistration(uint32_t)> descriptor_;
};

}  // namespace

void Emulator::OnService(uint32_t address) {
  SyncInterruptFlag();
  NoteEvent();
  const uint32_t esp = Reg(UC_X86_REG_ESP);
  StackArguments arguments(platform_.memory, esp, [this](uint32_t at) { return Descriptor(at); });
  const EFI_STATUS status = platform_.pei.Dispatch(address, arguments);
  // Return to the caller as `ret` would; cdecl leaves the arguments to it.
  SetReg(UC_X86_REG_EAX, status);
  SetReg(UC_X86_REG_ESP, esp + 4);
  SetReg(UC_X86_REG_EIP, platform_.memory.Peek32(esp));
}

vplat::NotifyRegistration Emulator::Descriptor(uint32_t at) {
  auto& memory = platform_.memory;
  const uint32_t flags = memory.Peek32(at);
  EFI_GUID guid;
  memory.Peek(memory.Peek32(at + 4), &guid, sizeof guid);
  // Notify is read when the notification runs, as the host backend reads it.
  return {flags, guid, [this, at](uint32_t services, uint32_t ppi) -> std::optional<EFI_STATUS> {
            const CallResult r = Call(platform_.memory.Peek32(at + 8), {services, at, ppi});
            if (r.end != CallResult::End::Returned) return std::nullopt;
            return r.eax;
          }};
}

// RDTSC cannot be hooked as an instruction. A block seen for the first time
// is searched for 0F 31 pairs, wherever it was fetched from; each gets a hook
// on itself and on the instruction after it, where EDX:EAX take the
// platform's TSC. A hook fires only where an instruction starts, so a pair
// inside another instruction costs nothing. The block was translated without
// the new hooks: the run stops before it and starts again there, translated
// anew. Returns whether it asked for that.
bool Emulator::HookRdtscIn(uint32_t address, uint32_t size) {
  std::vector<uint8_t> code(size);
  Check(uc_mem_read(uc_, address, code.data(), size), "read a block's code");
  bool added = false;
  for (uint32_t i = 0; i + 1 < size; ++i) {
    if (code[i] != RDTSC_OPCODE[0] || code[i + 1] != RDTSC_OPCODE[1]) continue;
    const uint32_t at = address + i;
    if (!rdtscHooked_.insert(at).second) continue;
    AddHook(UC_HOOK_CODE,
            reinterpret_cast<void*>(+[](uc_engine*, uint64_t hooked, uint32_t, void* user) {
              static_cast<Emulator*>(user)->pendingTsc_ = static_cast<uint32_t>(hooked) + 2;
            }),
            at, at);
    AddHook(UC_HOOK_CODE,
            reinterpret_cast<void*>(+[](uc_engine*, uint64_t hooked, uint32_t, void* user) {
              auto* self = static_cast<Emulator*>(user);
              self->Guard([&] { self->AfterRdtsc(static_cast<uint32_t>(hooked)); });
            }),
            at + 2, at + 2);
    added = true;
  }
  if (!added) return false;
  // The pair's second hook may fall on the first byte after the block.
  restartAt_ = {address, uint64_t{address} + size + 1};
  Check(uc_emu_stop(uc_), "stop");
  return true;
}

// Reached also as a jump target: only right after the RDTSC does it apply.
void Emulator::AfterRdtsc(uint32_t address) {
  if (pendingTsc_ != address) return;
  pendingTsc_ = 0;
  SyncInterruptFlag();
  NoteEvent();
  const uint64_t tsc = platform_.Tsc();
  SetReg(UC_X86_REG_EAX, static_cast<uint32_t>(tsc));
  SetReg(UC_X86_REG_EDX, static_cast<uint32_t>(tsc >> 32));
}

// Counts, bounds, and watches for the halt loop: a block entered again with
// the same registers, with nothing in between that changed memory or touched
// a device, repeats forever. Only after a device access does this watch
// anything (before it, no halt loop of a module can be told from its
// computing); and only once a block repeats with the same registers are RAM
// writes watched, over one more pass, so the region hash runs at full speed.
void Emulator::OnBlock(uint32_t address, uint32_t size) {
  // A service entry's block never runs: its hook returns to the caller first.
  if (address >= vplat::SERVICE_ENTRY_BASE && address < SERVICE_ENTRIES_END) return;
  auto [count, unseen] = blockSizes_.try_emplace(uint64_t{address} << 32 | size, 0);
  if (unseen) {
    if (HookRdtscIn(address, size)) {
      blockSizes_.erase(count);  // counted when it runs, translated anew
      return;
    }
    // The block being run is in the translation cache, so this is a lookup.
    uc_tb tb{};
    Check(uc_ctl_request_cache(uc_, address, &tb), "look up translated block");
    count->second = tb.icount;
  }
  lastBlock_ = {address, size};
  instructions_ += count->second;
  runInstructions_ += count->second;
  if (runInstructions_ > budget_.instructions)
    throw ModuleStop{"the module ran for more than " + std::to_string(budget_.instructions) +
                     " instructions without finishing " + Where(address)};
  if (++blocksSinceClockCheck_ >= BLOCKS_PER_CLOCK_CHECK) {
    blocksSinceClockCheck_ = 0;
    if (std::chrono::steady_clock::now() >= deadline_)
      throw ModuleStop{"the time budget of " + std::to_string(budget_.time.count()) + " ms ran out " + Where(address)};
  }
  if (!armed_) return;
  const Registers registers = ReadRegisters();
  auto [it, fresh] = visits_.try_emplace(address, BlockVisit{registers, epoch_});
  const bool repeated = !fresh && it->second.epoch == epoch_ && it->second.registers == registers;
  if (repeated && ramWriteHook_ != 0) {
    halt_ = "in a loop that changes nothing " + Where(address);
    SyncInterruptFlag();
    platform_.NoteHalt();
    Check(uc_emu_stop(uc_), "stop");
    return;
  }
  if (repeated) WatchRamWrites();
  it->second = {registers, epoch_};
}

// Unicorn applies a memory hook added mid-run to blocks translated before.
// A new epoch: the visits seen while writes went unwatched prove nothing.
void Emulator::WatchRamWrites() {
  ramWriteHook_ = AddHook(
      UC_HOOK_MEM_WRITE,
      reinterpret_cast<void*>(+[](uc_engine*, uc_mem_type, uint64_t address, int size, int64_t value, void* user) {
        auto* self = static_cast<Emulator*>(user);
        self->Guard([&] { self->OnRamWrite(static_cast<uint32_t>(address), size, value); });
      }),
      0, vplat::RAM_SIZE - 1);
  ++epoch_;
}

void Emulator::OnRamWrite(uint32_t address, int size, uint64_t value) {
  uint64_t current = 0;
  platform_.memory.Peek(address, &current, static_cast<uint32_t>(size));
  const uint64_t mask = size >= 8 ? ~0ull : (1ull << (8 * size)) - 1;
  if ((current & mask) != (static_cast<uint64_t>(value) & mask)) ++epoch_;
}

uint32_t Emulator::OnPortIn(uint16_t port, int size) {
  SyncInterruptFlag();
  NoteEvent();
  return platform_.PortIn(port, static_cast<uint8_t>(size));
}

void Emulator::OnPortOut(uint16_t port, int size, uint32_t value) {
  SyncInterruptFlag();
  NoteEvent();
  platform_.PortOut(port, static_cast<uint8_t>(size), value);
}

// The bus carries at most 32 bits at once; wider accesses go as 32-bit halves.
uint64_t Emulator::OnBusRead(uint32_t address, unsigned size) {
  SyncInterruptFlag();
  NoteEvent();
  if (size <= 4) return platform_.memory.Read(address, static_cast<uint8_t>(size));
  const uint64_t low = platform_.memory.Read(address, 4);
  return low | uint64_t{platform_.memory.Read(address + 4, 4)} << 32;
}

void Emulator::OnBusWrite(uint32_t address, unsigned size, uint64_t value) {
  SyncInterruptFlag();
  NoteEvent();
  if (size <= 4) return platform_.memory.Write(address, static_cast<uint8_t>(size), static_cast<uint32_t>(value));
  platform_.memory.Write(address, 4, static_cast<uint32_t>(value));
  platform_.memory.Write(address + 4, 4, static_cast<uint32_t>(value >> 32));
}

// Flash ignores writes; the memory map logs them as dropped, except those
// into the module's own image, which SelfWrites() reports.
void Emulator::OnFlashWrite(uint32_t address, int size, uint64_t value) {
  NoteEvent();
  if (address >= moduleBase_ && address < moduleEnd_) {
    ++selfWrites_;
    return;
  }
  platform_.memory.Write(address, static_cast<uint8_t>(size > 4 ? 4 : size), static_cast<uint32_t>(value));
}

void Emulator::OnInterrupt(uint32_t vector) {
  throw ModuleStop{"CPU exception " + std::to_string(vector) + " (" + ExceptionName(vector) + ") " + Where()};
}

void Emulator::FillStackProbe() {
  std::memset(platform_.memory.Ram(vplat::STACK_TOP - STACK_PROBE_SIZE, STACK_PROBE_SIZE), STACK_FILL,
              STACK_PROBE_SIZE);
}

uint32_t Emulator::MeasureStack(uint32_t entryEsp) {
  const uint32_t low = vplat::STACK_TOP - STACK_PROBE_SIZE;
  const uint8_t* probe = platform_.memory.Ram(low, entryEsp - low);
  const uint8_t* deepest = std::find_if(probe, probe + (entryEsp - low), [](uint8_t b) { return b != STACK_FILL; });
  return static_cast<uint32_t>(probe + (entryEsp - low) - deepest);
}

// Runs from `from` until the return trap or a stop, starting again where a
// hook asked for a block to be translated anew.
uc_err Emulator::RunUntilTrap(uint32_t from) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      stop_ = "the time budget of " + std::to_string(budget_.time.count()) + " ms ran out " + Where(from);
      return UC_ERR_OK;
    }
    const uc_err err = uc_emu_start(uc_, from, RETURN_TRAP, static_cast<uint64_t>(left.count()), 0);
    if (!restartAt_ || err != UC_ERR_OK || error_ || stop_ || halt_) return err;
    const auto [begin, end] = *std::exchange(restartAt_, std::nullopt);
    Check(uc_ctl_remove_cache(uc_, begin, end), "drop translated blocks");
    from = begin;
  }
}

CallResult Emulator::Finish(uc_err err, uint32_t entryEsp) {
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  CallResult result;
  result.instructions = instructions_;
  result.stackUsed = MeasureStack(entryEsp);
  const uint32_t eip = Reg(UC_X86_REG_EIP);
  uint8_t last = 0;
  const bool endsInHlt = eip == uint64_t{lastBlock_.first} + lastBlock_.second &&
                         uc_mem_read(uc_, eip - 1, &last, 1) == UC_ERR_OK && last == HLT_OPCODE;
  if (halt_) {
    result.end = CallResult::End::Halted;
    result.detail = *halt_;
  } else if (stop_) {
    result.end = CallResult::End::Stopped;
    result.detail = *stop_;
  } else if (err == UC_ERR_INSN_INVALID) {
    result.end = CallResult::End::Stopped;
    result.detail = "invalid instruction " + Where(eip);
  } else if (err == UC_ERR_FETCH_PROT || err == UC_ERR_FETCH_UNMAPPED) {
    result.end = CallResult::End::Stopped;
    result.detail = "instruction fetch from " + Hex(eip, 8) + ", where nothing executable is mapped";
  } else if (err != UC_ERR_OK) {
    result.end = CallResult::End::Stopped;
    result.detail = std::string("CPU stopped: ") + uc_strerror(err) + " " + Where(eip);
  } else if (eip == RETURN_TRAP) {
    result.eax = Reg(UC_X86_REG_EAX);
  } else if (endsInHlt) {
    // HLT ends its block; with no interrupt ever coming the processor stays.
    result.end = CallResult::End::Halted;
    result.detail = "hlt " + Where(eip - 1);
    platform_.NoteHalt();
  } else if (std::chrono::steady_clock::now() >= deadline_) {
    result.end = CallResult::End::Stopped;
    result.detail = "the time budget of " + std::to_string(budget_.time.count()) + " ms ran out " + Where(eip);
  } else {
    throw EmuError("CPU stopped for no known reason " + Where(eip));
  }
  return result;
}

CallResult Emulator::Call(uint32_t function, const std::vector<uint32_t>& args) {
  if (running_) throw EmuError("a call into the module while another one runs");
  FillStackProbe();
  uint32_t esp = vplat::STACK_TOP;
  for (auto it = args.rbegin(); it != args.rend(); ++it) platform_.memory.Poke32(esp -= 4, *it);
  platform_.memory.Poke32(esp -= 4, RETURN_TRAP);
  const uint32_t entryEsp = esp;
  SetReg(UC_X86_REG_ESP, esp);
  SetReg(UC_X86_REG_EFLAGS, EFLAGS_RESERVED | (platform_.interruptsEnabled ? EFLAGS_IF : 0));

  instructions_ = 0;
  armed_ = false;
  stop_.reset();
  halt_.reset();
  lastBlock_ = {};
  visits_.clear();
  running_ = true;
  const uc_err err = RunUntilTrap(function);
  running_ = false;
  SyncInterruptFlag();
  if (ramWriteHook_ != 0) {
    Check(uc_hook_del(uc_, ramWriteHook_), "remove hook");
    ramWriteHook_ = 0;
  }
  const CallResult result = Finish(err, entryEsp);
  calls_.push_back(result);
  return result;
}

}  // namespace emu
