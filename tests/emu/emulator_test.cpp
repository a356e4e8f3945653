// The emulator's own machinery, driven by small hand-assembled modules: each
// kind of access reaches the same platform model as the host backend does
// (checked against a reference platform doing the same accesses directly),
// the halt loop is recognised only when nothing can change any more, and a
// run that never ends stops at its budget.
#include "emu/emulator.h"

#include <gtest/gtest.h>

#include "runners/run_emulated.h"
#include "tests/support/error_message.h"
#include "tests/support/pe_recipe.h"
#include "vplat/flash_image.h"

namespace {

using vplat::Access;
using vplat::AccessKind;

runners::Scenario Erased() {
  runners::Scenario s;
  s.image.assign(0x100000000ull - vplat::DEFAULT_MODULE_ADDRESS, 0xFF);
  s.signalEndOfPei = false;
  return s;
}

runners::EmulatedRun RunCode(const std::vector<uint8_t>& code, const runners::Scenario& s = Erased(),
                         const emu::Budget& budget = {}) {
  test_support::PeRecipe recipe;
  recipe.code = code;
  recipe.relocations = {0x0000};
  runners::EmuOptions options;
  options.budget = budget;
  return runners::Emulate(s, test_support::BuildPe(recipe), options);
}

struct AccessCase {
  const char* name;
  std::vector<uint8_t> code;  // returns its result in EAX
  void (*reference)(vplat::Platform&, uint32_t& eax);  // the same accesses, made directly
  uint64_t droppedWrites;
  uint64_t selfWrites = 0;  // into the module's own image
};

const AccessCase kAccessCases[] = {
    {"ports of every width",
     {0x66, 0xBA, 0x61, 0x00,        // mov dx, 0x61
      0x66, 0xB8, 0x34, 0x12,        // mov ax, 0x1234
      0x66, 0xEF,                    // out dx, ax
      0xEF,                          // out dx, eax
      0xE6, 0x43,                    // out 0x43, al
      0x31, 0xC0, 0xE4, 0x61,        // xor eax, eax; in al, 0x61
      0x66, 0xED,                    // in ax, dx
      0xED, 0xC3},                   // in eax, dx; ret
     [](vplat::Platform& p, uint32_t& eax) {
       p.PortOut(0x61, 2, 0x1234);
       p.PortOut(0x61, 4, 0x1234);
       p.PortOut(0x43, 1, 0x34);
       p.PortIn(0x61, 1);
       p.PortIn(0x61, 2);
       eax = p.PortIn(0x61, 4);
     },
     0},
    {"RDTSC reads the platform's TSC",
     {0xE4, 0x61, 0xE4, 0x61, 0x0F, 0x31, 0xC3},  // in al, 0x61 twice; rdtsc; ret
     [](vplat::Platform& p, uint32_t& eax) {
       p.PortIn(0x61, 1);
       p.PortIn(0x61, 1);
       eax = static_cast<uint32_t>(p.Tsc());
     },
     0},
    {"RDTSC in code copied to RAM",
     {0xE4, 0x61, 0xE4, 0x61,                                      // in al, 0x61 twice
      0xC7, 0x05, 0x00, 0x00, 0x10, 0x00, 0x0F, 0x31, 0xC3, 0x00,  // mov dword [0x100000], rdtsc; ret
      0xB8, 0x00, 0x00, 0x10, 0x00, 0xFF, 0xD0, 0xC3},             // mov eax, 0x100000; call eax; ret
     [](vplat::Platform& p, uint32_t& eax) {
       p.PortIn(0x61, 1);
       p.PortIn(0x61, 1);
       eax = static_cast<uint32_t>(p.Tsc());
     },
     0},
    {"trace hub configuration reads of every width",
     {0xA0, 0x00, 0xA0, 0x0F, 0xE0,        // mov al, [0xE00FA000]
      0x66, 0xA1, 0x02, 0xA0, 0x0F, 0xE0,  // mov ax, [0xE00FA002]
      0xA1, 0x48, 0xA0, 0x0F, 0xE0, 0xC3}, // mov eax, [0xE00FA048]; ret
     [](vplat::Platform& p, uint32_t& eax) {
       p.memory.Read(0xE00FA000, 1);
       p.memory.Read(0xE00FA002, 2);
       eax = p.memory.Read(0xE00FA048, 4);
     },
     0},
    {"aperture writes of every width",
     {0xC6, 0x05, 0x00, 0x00, 0x28, 0xFE, 0x11,                    // mov byte [0xFE280000], 0x11
      0x66, 0xC7, 0x05, 0x00, 0x00, 0x28, 0xFE, 0x22, 0x11,        // mov word [..], 0x1122
      0xC7, 0x05, 0x30, 0x00, 0x28, 0xFE, 0x44, 0x33, 0x22, 0x11,  // mov dword [0xFE280030], 0x11223344
      0x31, 0xC0, 0xC3},
     [](vplat::Platform& p, uint32_t& eax) {
       p.memory.Write(0xFE280000, 1, 0x11);
       p.memory.Write(0xFE280000, 2, 0x1122);
       p.memory.Write(0xFE280030, 4, 0x11223344);
       eax = 0;
     },
     0},
    {"open bus reads all ones and drops writes",
     {0xC7, 0x05, 0x00, 0x00, 0x00, 0xF0, 0x01, 0x00, 0x00, 0x00,  // mov dword [0xF0000000], 1
      0xA1, 0x00, 0x00, 0x00, 0xF0, 0xC3},                          // mov eax, [0xF0000000]; ret
     [](vplat::Platform& p, uint32_t& eax) {
       p.memory.Write(0xF0000000, 4, 1);
       eax = p.memory.Read(0xF0000000, 4);
     },
     1},
    {"a service slot nobody fills",
     {0xA1, 0xFC, 0xFF, 0x00, 0x00,  // mov eax, [IDT base - 4]: the services pointer
      0x8B, 0x08, 0x50,              // mov ecx, [eax]: the table; push eax
      0xFF, 0x51, 0x28,              // call [ecx + 0x28]
      0x59, 0xC3},                   // pop ecx; ret
     [](vplat::Platform& p, uint32_t& eax) { eax = p.pei.UnknownService(vplat::SERVICE_ENTRY_BASE); },
     0},
    {"AllocatePool reads its arguments and writes the block pointer",
     {0xA1, 0xFC, 0xFF, 0x00, 0x00, 0x8B, 0x08,  // services pointer, table
      0x6A, 0x00, 0x54,                          // push 0 (the out slot); push its address
      0x6A, 0x70, 0x50,                          // push 0x70; push services
      0xFF, 0x51, 0x4C,                          // call [ecx + 0x4C]
      0x83, 0xC4, 0x0C, 0x58, 0xC3},             // add esp, 12; pop eax: the block; ret
     [](vplat::Platform& p, uint32_t& eax) { p.pei.AllocatePool(vplat::SERVICES_POINTER, 0x70, &eax); },
     0},
    {"flash drops writes into the module's own image, counted apart",
     {0xC7, 0x05, 0x00, 0x00, 0xD4, 0xFF, 0x78, 0x56, 0x34, 0x12,  // mov dword [0xFFD40000], 0x12345678
      0xA1, 0x00, 0x00, 0xD4, 0xFF, 0xC3},                          // mov eax, [0xFFD40000]; ret
     [](vplat::Platform&, uint32_t& eax) { eax = 0x00005A4D; },    // "MZ", as placed
     0, 1},
    {"flash drops writes elsewhere",
     {0xC7, 0x05, 0x00, 0x00, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12,  // mov dword [0xFFFF0000], 0x12345678
      0xA1, 0x00, 0x00, 0xFF, 0xFF, 0xC3},                          // mov eax, [0xFFFF0000]; ret
     [](vplat::Platform& p, uint32_t& eax) {
       p.memory.Write(0xFFFF0000u, 4, 0x12345678);
       eax = 0xFFFFFFFF;  // erased flash, unchanged
     },
     1},
};

TEST(Emulator, AccessesAndServicesReachThePlatformAsTheHostBackendMakesThem) {
  for (const auto& c : kAccessCases) {
    SCOPED_TRACE(c.name);
    const auto s = Erased();
    const auto run = RunCode(c.code, s);
    vplat::Platform reference;
    runners::Configure(reference, s);
    uint32_t eax = 0;
    c.reference(reference, eax);
    EXPECT_TRUE(run.outcome.log == reference.log.Entries())
        << vplat::DescribeDifference(reference.log.Entries(), run.outcome.log);
    EXPECT_EQ(run.outcome.entryStatus, eax);
    EXPECT_EQ(run.outcome.DroppedWrites(), c.droppedWrites);
    EXPECT_EQ(run.figures.selfWrites, c.selfWrites);
  }
}

TEST(Emulator, RdtscInASectionNotMarkedExecutableReadsThePlatformsTsc) {
  test_support::PeRecipe recipe;
  recipe.code = {0xE4, 0x61, 0x0F, 0x31, 0xC3};  // in al, 0x61; rdtsc; ret
  recipe.relocations = {0x0000};
  recipe.textCharacteristics = firmware::PE_SCN_MEM_READ;
  const auto run = runners::Emulate(Erased(), test_support::BuildPe(recipe));
  vplat::Platform reference;
  reference.AdvancePitClocks(1);
  EXPECT_EQ(run.outcome.entryStatus, static_cast<uint32_t>(reference.Tsc()));
}

TEST(Emulator, InterruptFlagFollowsCliStiAndPushf) {
  const struct {
    const char* name;
    std::vector<uint8_t> code;
    bool enabledBefore;
    bool enabledAfter;
    uint32_t eax;
  } cases[] = {
      {"CLI", {0xFA, 0x9C, 0x58, 0x25, 0x00, 0x02, 0x00, 0x00, 0xC3}, true, false, 0},  // cli; pushf; pop eax; and eax, IF
      {"STI", {0xFB, 0x9C, 0x58, 0x25, 0x00, 0x02, 0x00, 0x00, 0xC3}, false, true, 0x200},
      {"PUSHF sees it on", {0x9C, 0x58, 0x25, 0x00, 0x02, 0x00, 0x00, 0xC3}, true, true, 0x200},
      {"PUSHF sees it off", {0x9C, 0x58, 0x25, 0x00, 0x02, 0x00, 0x00, 0xC3}, false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = Erased();
    s.interruptsEnabled = c.enabledBefore;
    const auto run = RunCode(c.code, s);
    EXPECT_EQ(run.outcome.interruptsEnabled, c.enabledAfter);
    EXPECT_EQ(run.outcome.entryStatus, c.eax);
  }
}

TEST(Emulator, HaltLoopsAfterAnyDeviceAccessEndTheRunLikeTheHost) {
  const Access postCode{AccessKind::PortWrite, 0x80, 1, 0x8F};
  const struct {
    const char* name;
    std::vector<uint8_t> code;
    std::vector<Access> log;
  } cases[] = {
      {"jmp $ after a POST code", {0xB0, 0x8F, 0xE6, 0x80, 0xEB, 0xFE}, {postCode, {AccessKind::Halt}}},  // out 0x80, al; jmp $
      // As the module's: a flag on the stack read through a call each pass.
      {"flag reader after a POST code",
       {0xB0, 0x8F, 0xE6, 0x80,                    // POST code
        0x31, 0xDB, 0x53,                          // xor ebx, ebx; push ebx (the flag)
        0x54, 0xE8, 0x07, 0x00, 0x00, 0x00,        // loop: push esp; call reader
        0x59, 0x85, 0xC0, 0x74, 0xF5,              // pop ecx; test eax, eax; jz loop
        0x5B, 0xC3,                                // pop ebx; ret
        0x8B, 0x44, 0x24, 0x04, 0x8B, 0x00, 0xC3},  // reader: mov eax, [esp+4]; mov eax, [eax]; ret
       {postCode, {AccessKind::Halt}}},
      {"jmp $ after an MMIO read, no POST code",
       {0xA0, 0x00, 0xA0, 0x0F, 0xE0, 0xEB, 0xFE},  // mov al, [0xE00FA000]; jmp $
       {{AccessKind::MmioRead, 0xE00FA000u, 1, 0x86}, {AccessKind::Halt}}},
      {"jmp $ after a service call, no POST code",
       {0xA1, 0xFC, 0xFF, 0x00, 0x00, 0x8B, 0x08, 0x50,  // services pointer, table; push it
        0xFF, 0x51, 0x28, 0xEB, 0xFE},                  // call [ecx + 0x28]; jmp $
       {{AccessKind::Service, 0, 0, EFI_UNSUPPORTED, vplat::PeiService::Unknown, {vplat::SERVICE_ENTRY_BASE}},
        {AccessKind::Halt}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto run = RunCode(c.code);
    EXPECT_TRUE(run.outcome.halted);
    EXPECT_FALSE(run.outcome.entryStatus.has_value());
    EXPECT_TRUE(run.outcome.log == c.log) << vplat::DescribeDifference(c.log, run.outcome.log);
  }
}

// Whatever the module does, the run ends within its bounds with one line
// saying how, and the check fails: a halt, a fault, or a bound overrun.
TEST(Emulator, HostileRunsEndWithinTheirBoundsWithOneLine) {
  const emu::Budget small{100'000, std::chrono::milliseconds(60'000)};
  const emu::Budget large{~0ull, std::chrono::milliseconds(60'000)};
  const struct {
    const char* name;
    std::vector<uint8_t> code;
    emu::Budget budget;
    bool halted;  // else stopped
    const char* detail;
  } cases[] = {
      {"jmp $, no device touched", {0xEB, 0xFE}, small, false,
       "the module ran for more than 100000 instructions without finishing at EIP 0xFFD401A0 (module RVA 0x000001A0)"},
      {"jmp $ against the clock", {0xEB, 0xFE}, {~0ull, std::chrono::milliseconds(20)}, false,
       "the time budget of 20 ms ran out"},
      // After the POST code, loops that still change something are not the halt.
      {"counting in a register", {0xB0, 0x8F, 0xE6, 0x80, 0x41, 0xEB, 0xFD}, small, false, "more than 100000 instructions"},
      {"counting in memory",
       {0xB0, 0x8F, 0xE6, 0x80, 0xFF, 0x05, 0x00, 0x00, 0x70, 0x00, 0xEB, 0xF8},  // inc dword [0x700000]; jmp
       small, false, "more than 100000 instructions"},
      {"counting in memory, in code translated before the POST code",
       {0xE8, 0x0B, 0x00, 0x00, 0x00,                    // call counter
        0xB0, 0x8F, 0xE6, 0x80,                          // POST code
        0xE8, 0x02, 0x00, 0x00, 0x00, 0xEB, 0xF9,        // loop: call counter; jmp loop
        0xFF, 0x05, 0x00, 0x00, 0x70, 0x00, 0xC3},       // counter: inc dword [0x700000]; ret
       small, false, "more than 100000 instructions"},
      {"polling a port for ever", {0xE4, 0x61, 0xEB, 0xFC}, large, false, "the module made more than 2097152 device accesses"},
      {"rep stosd across the address space",
       {0xBF, 0x00, 0x00, 0x00, 0x01, 0xB9, 0xFF, 0xFF, 0xFF, 0x3F, 0xF3, 0xAB},  // edi = 16 MiB, ecx = 2^30 - 1
       large, false, "the module made more than 2097152 device accesses"},
      {"runaway recursion", {0xE8, 0xFB, 0xFF, 0xFF, 0xFF}, large, false,  // call $
       "the module made more than 2097152 device accesses"},
      {"hlt after a POST code", {0xB0, 0x8F, 0xE6, 0x80, 0xF4}, small, true, "hlt at EIP 0xFFD401A4 (module RVA 0x000001A4)"},
      {"cli; hlt", {0xFA, 0xF4}, small, true, "hlt at EIP 0xFFD401A1"},
      {"int3", {0xCC}, small, false, "CPU exception 3 (breakpoint) at EIP"},
      {"ud2", {0x0F, 0x0B}, small, false, "invalid instruction at EIP 0xFFD401A0"},
      {"jump into nothing", {0xB8, 0x00, 0x00, 0x00, 0xF0, 0xFF, 0xE0}, small, false,
       "instruction fetch from 0xF0000000, where nothing executable is mapped"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto run = RunCode(c.code, Erased(), c.budget);
    EXPECT_EQ(run.outcome.halted, c.halted);
    EXPECT_EQ(run.outcome.stopped, !c.halted);
    EXPECT_NE(run.outcome.endDetail.find(c.detail), std::string::npos) << run.outcome.endDetail;
    EXPECT_EQ(run.outcome.endDetail.find('\n'), std::string::npos);
    EXPECT_FALSE(run.outcome.entryStatus.has_value());
    EXPECT_EQ(runners::VerdictOf(run.outcome), runners::Verdict::Fail);
  }
}

}  // namespace
