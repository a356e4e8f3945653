// A minimal PEI environment of the boot stub's own, in which the shipped
// module runs on a real processor under KVM: an IDT with the services pointer
// in the word below it, a services table with the four services the module
// calls, a HOB list and a pool. The stub calls ModuleEntry, then the
// registered End-of-PEI notification once per check the host asked for,
// reads the TSC around each call, and reports on COM1 whether the check
// returned or halted and whether it used the XMM registers (the module's SHA
// path is its only code that does). A local APIC one-shot timer catches a
// check that never returns.
#include "kvm/stub/stub_abi.h"
#include "module/platform/hob_list.h"
#include "module/types/efi_types.h"

namespace {

using namespace kvm_stub;

// ---- processor -------------------------------------------------------------

void Out8(uint16_t port, uint8_t value) { __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port)); }
uint8_t In8(uint16_t port) {
  uint8_t value;
  __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
  return value;
}

uint64_t Rdtsc() {
  uint32_t low, high;
  __asm__ volatile("lfence\n\trdtsc" : "=a"(low), "=d"(high) : : "memory");
  return (uint64_t{high} << 32) | low;
}

uint32_t ReadCr0() {
  uint32_t v;
  __asm__ volatile("movl %%cr0, %0" : "=r"(v));
  return v;
}
void WriteCr0(uint32_t v) { __asm__ volatile("movl %0, %%cr0" : : "r"(v) : "memory"); }
uint32_t ReadCr4() {
  uint32_t v;
  __asm__ volatile("movl %%cr4, %0" : "=r"(v));
  return v;
}
void WriteCr4(uint32_t v) { __asm__ volatile("movl %0, %%cr4" : : "r"(v) : "memory"); }
void WriteMsr(uint32_t msr, uint64_t v) {
  __asm__ volatile("wrmsr" : : "c"(msr), "a"(static_cast<uint32_t>(v)), "d"(static_cast<uint32_t>(v >> 32)));
}

// Control register bits, as the processor manuals number them.
constexpr uint32_t CR0_MP = 1u << 1;
constexpr uint32_t CR0_EM = 1u << 2;
constexpr uint32_t CR0_TS = 1u << 3;
constexpr uint32_t CR0_NE = 1u << 5;
constexpr uint32_t CR0_NW = 1u << 29;
constexpr uint32_t CR0_CD = 1u << 30;
constexpr uint32_t CR4_OSFXSR = 1u << 9;
constexpr uint32_t CR4_OSXMMEXCPT = 1u << 10;
// IA32_MTRR_DEF_TYPE: MTRRs enabled (bit 11), default type write-back (6).
// At reset the MTRRs are off and all memory is uncached, which the guest's
// memory accesses honour under KVM too: the hash would run at bus speed.
constexpr uint32_t MSR_MTRR_DEF_TYPE = 0x2FF;
constexpr uint64_t MTRR_ENABLED_WRITE_BACK = (1u << 11) | 6;

// XMM0..7 filled with a pattern before a check and compared after it. The
// stub itself is built for general registers only, so only the module can
// change them. Needs CR4.OSFXSR.
constexpr uint8_t XMM_PATTERN = 0xA5;

struct XmmFile {
  alignas(16) uint8_t bytes[8][16];
};

void SaveXmm(XmmFile* file) {
  __asm__ volatile(
      "movdqu %%xmm0, 0(%0)\n\tmovdqu %%xmm1, 16(%0)\n\tmovdqu %%xmm2, 32(%0)\n\tmovdqu %%xmm3, 48(%0)\n\t"
      "movdqu %%xmm4, 64(%0)\n\tmovdqu %%xmm5, 80(%0)\n\tmovdqu %%xmm6, 96(%0)\n\tmovdqu %%xmm7, 112(%0)"
      :
      : "r"(file)
      : "memory");
}

void FillXmm() {
  XmmFile file;
  for (auto& reg : file.bytes)
    for (auto& b : reg) b = XMM_PATTERN;
  __asm__ volatile(
      "movdqu 0(%0), %%xmm0\n\tmovdqu 16(%0), %%xmm1\n\tmovdqu 32(%0), %%xmm2\n\tmovdqu 48(%0), %%xmm3\n\t"
      "movdqu 64(%0), %%xmm4\n\tmovdqu 80(%0), %%xmm5\n\tmovdqu 96(%0), %%xmm6\n\tmovdqu 112(%0), %%xmm7"
      :
      : "r"(&file)
      : "memory");
}

// Sets OSFXSR for as long as it takes to read the registers.
bool XmmChanged() {
  const uint32_t cr4 = ReadCr4();
  WriteCr4(cr4 | CR4_OSFXSR);
  XmmFile file;
  SaveXmm(&file);
  WriteCr4(cr4);
  for (const auto& reg : file.bytes)
    for (uint8_t b : reg)
      if (b != XMM_PATTERN) return true;
  return false;
}

// ---- report on COM1 --------------------------------------------------------

constexpr uint16_t COM1 = 0x3F8;
constexpr uint16_t COM1_LINE_STATUS = COM1 + 5;
constexpr uint8_t LINE_STATUS_THR_EMPTY = 1u << 5;

void Put(char c) {
  while ((In8(COM1_LINE_STATUS) & LINE_STATUS_THR_EMPTY) == 0) {
  }
  Out8(COM1, static_cast<uint8_t>(c));
}
void Put(const char* text) {
  while (*text != 0) Put(*text++);
}
void PutHex(uint64_t value, int digits) {
  Put(' ');
  for (int i = digits - 1; i >= 0; --i) Put("0123456789ABCDEF"[(value >> (4 * i)) & 0xF]);
}

[[noreturn]] void Exit() {
  Out8(DEBUG_EXIT_PORT, EXIT_VALUE);
  for (;;) __asm__ volatile("cli; hlt");
}

// ---- the stub's state in RAM -----------------------------------------------

// EFI_PEI_SERVICES on IA-32: a 24-byte table header, then 32-bit function
// pointers; the module calls those at the offsets in efi_types.h.
constexpr uint32_t PEI_SERVICES_SIZE = 0x90;

struct State {
  uint32_t servicesTable[PEI_SERVICES_SIZE / 4];
  uint32_t servicesPointer;  // the pointer to the table; the IDT's word below points here
  const EFI_PEI_NOTIFY_DESCRIPTOR* notify;
  uint32_t hobEnd;  // the end-of-list HOB
  uint32_t poolNext;
  uint32_t check;   // index of the check that runs
  CheckMode mode;
};

State& Ram() { return *reinterpret_cast<State*>(STATE_ADDRESS); }
const Parameters& Params() { return *reinterpret_cast<const Parameters*>(PARAMETERS_ADDRESS); }

// The End of PEI Phase PPI of PI.
constexpr EFI_GUID END_OF_PEI_PPI = {0x605ea650, 0xc65c, 0x42e1, {0xba, 0x80, 0x91, 0xa5, 0x2a, 0xb6, 0x18, 0xc6}};

bool SameGuid(const EFI_GUID& a, const EFI_GUID& b) {
  const auto* x = reinterpret_cast<const uint8_t*>(&a);
  const auto* y = reinterpret_cast<const uint8_t*>(&b);
  for (size_t i = 0; i < sizeof(EFI_GUID); ++i)
    if (x[i] != y[i]) return false;
  return true;
}

// ---- PEI services ----------------------------------------------------------

EFI_STATUS Unsupported() { return EFI_UNSUPPORTED; }

EFI_STATUS NotifyPpi(uint32_t, const EFI_PEI_NOTIFY_DESCRIPTOR* list) {
  // The module registers one descriptor; anything else is not for this stub.
  if (list == nullptr || list->Guid == nullptr || !SameGuid(*list->Guid, END_OF_PEI_PPI)) return EFI_INVALID_PARAMETER;
  Ram().notify = list;
  return EFI_SUCCESS;
}

EFI_STATUS GetHobList(uint32_t, uint32_t* list) {
  *list = HOB_LIST_ADDRESS;
  return EFI_SUCCESS;
}

void WriteHobHeader(uint32_t at, uint16_t type, uint16_t length) {
  auto* header = reinterpret_cast<EFI_HOB_GENERIC_HEADER*>(at);
  header->HobType = type;
  header->HobLength = length;
  header->Reserved = 0;
}

// The new HOB takes the place of the end-of-list HOB, which moves behind it.
EFI_STATUS CreateHob(uint32_t, uint16_t type, uint16_t length, uint32_t* hob) {
  const uint32_t rounded = (uint32_t{length} + 7u) & ~7u;
  const uint32_t at = Ram().hobEnd;
  if (length < HOB_HEADER_SIZE || at + rounded + HOB_HEADER_SIZE > HOB_LIST_LIMIT) return EFI_OUT_OF_RESOURCES;
  WriteHobHeader(at, type, static_cast<uint16_t>(rounded));
  Ram().hobEnd = at + rounded;
  WriteHobHeader(Ram().hobEnd, EFI_HOB_TYPE_END_OF_HOB_LIST, HOB_HEADER_SIZE);
  *hob = at;
  return EFI_SUCCESS;
}

EFI_STATUS AllocatePool(uint32_t, uint32_t size, uint32_t* block) {
  const uint32_t at = Ram().poolNext;
  if (size > POOL_LIMIT - at) return EFI_OUT_OF_RESOURCES;
  Ram().poolNext = (at + size + 7u) & ~7u;
  *block = at;
  return EFI_SUCCESS;
}

template <typename F>
uint32_t Address(F* function) {
  return reinterpret_cast<uint32_t>(function);
}

// PI's handoff information table HOB opens every list; the module reads only
// its header. 56 bytes on IA-32.
constexpr uint16_t EFI_HOB_TYPE_HANDOFF = 0x0001;
constexpr uint16_t HANDOFF_HOB_LENGTH = 56;

void InstallPeiCore() {
  State& s = Ram();
  for (auto& entry : s.servicesTable) entry = Address(&Unsupported);
  s.servicesTable[PEI_SERVICE_NOTIFY_PPI / 4] = Address(&NotifyPpi);
  s.servicesTable[PEI_SERVICE_GET_HOB_LIST / 4] = Address(&GetHobList);
  s.servicesTable[PEI_SERVICE_CREATE_HOB / 4] = Address(&CreateHob);
  s.servicesTable[PEI_SERVICE_ALLOCATE_POOL / 4] = Address(&AllocatePool);
  s.servicesPointer = reinterpret_cast<uint32_t>(&s.servicesTable);
  s.notify = nullptr;
  s.poolNext = POOL_ADDRESS;
  WriteHobHeader(HOB_LIST_ADDRESS, EFI_HOB_TYPE_HANDOFF, HANDOFF_HOB_LENGTH);
  s.hobEnd = HOB_LIST_ADDRESS + HANDOFF_HOB_LENGTH;
  WriteHobHeader(s.hobEnd, EFI_HOB_TYPE_END_OF_HOB_LIST, HOB_HEADER_SIZE);
}

// ---- interrupts ------------------------------------------------------------

extern "C" char InterruptEntries[];
constexpr uint32_t INTERRUPT_ENTRY_STRIDE = 16;  // entry.S aligns each entry to 16 bytes
constexpr uint32_t IDT_ENTRIES = 256;
constexpr uint16_t CODE_SELECTOR = 0x08;
constexpr uint8_t INTERRUPT_GATE_32 = 0x8E;  // present, ring 0, 32-bit interrupt gate
constexpr uint8_t WATCHDOG_VECTOR = 0x40;

struct IdtGate {
  uint16_t offsetLow;
  uint16_t selector;
  uint8_t zero;
  uint8_t type;
  uint16_t offsetHigh;
};
static_assert(sizeof(IdtGate) == 8);

void InstallIdt() {
  auto* idt = reinterpret_cast<IdtGate*>(IDT_ADDRESS);
  for (uint32_t v = 0; v < IDT_ENTRIES; ++v) {
    const uint32_t handler = reinterpret_cast<uint32_t>(InterruptEntries) + v * INTERRUPT_ENTRY_STRIDE;
    idt[v] = {static_cast<uint16_t>(handler), CODE_SELECTOR, 0, INTERRUPT_GATE_32, static_cast<uint16_t>(handler >> 16)};
  }
  // PI's IA-32 PEI: the word below the IDT points to the services pointer.
  *reinterpret_cast<uint32_t*>(IDT_ADDRESS - 4) = reinterpret_cast<uint32_t>(&Ram().servicesPointer);
  struct __attribute__((packed)) {
    uint16_t limit;
    uint32_t base;
  } idtr{IDT_ENTRIES * sizeof(IdtGate) - 1, IDT_ADDRESS};
  __asm__ volatile("lidt %0" : : "m"(idtr));
}

// The local APIC at its reset address, and the 8259 pair: only the
// watchdog's vector may interrupt a check.
constexpr uint32_t LAPIC = 0xFEE00000u;
constexpr uint32_t LAPIC_SPURIOUS = 0xF0;
constexpr uint32_t LAPIC_LVT_TIMER = 0x320;
constexpr uint32_t LAPIC_LVT_LINT0 = 0x350;
constexpr uint32_t LAPIC_LVT_LINT1 = 0x360;
constexpr uint32_t LAPIC_INITIAL_COUNT = 0x380;
constexpr uint32_t LAPIC_DIVIDE = 0x3E0;
constexpr uint32_t LAPIC_ENABLE = 1u << 8;
constexpr uint32_t LVT_MASKED = 1u << 16;
constexpr uint32_t DIVIDE_BY_16 = 0x3;
constexpr uint16_t PIC_MASTER_DATA = 0x21;
constexpr uint16_t PIC_SLAVE_DATA = 0xA1;

void WriteLapic(uint32_t reg, uint32_t value) { *reinterpret_cast<volatile uint32_t*>(LAPIC + reg) = value; }

void InstallWatchdog() {
  Out8(PIC_MASTER_DATA, 0xFF);
  Out8(PIC_SLAVE_DATA, 0xFF);
  WriteLapic(LAPIC_SPURIOUS, LAPIC_ENABLE | 0xFF);
  WriteLapic(LAPIC_LVT_LINT0, LVT_MASKED);
  WriteLapic(LAPIC_LVT_LINT1, LVT_MASKED);
  WriteLapic(LAPIC_DIVIDE, DIVIDE_BY_16);
  WriteLapic(LAPIC_LVT_TIMER, WATCHDOG_VECTOR);  // one-shot
}

void ArmWatchdog(uint32_t ticks) { WriteLapic(LAPIC_INITIAL_COUNT, ticks); }

const char* ModeName(CheckMode mode) { return mode == CheckMode::SseDisabled ? " sse-off" : " as-is"; }
const char* XmmName() { return XmmChanged() ? " xmm-used\n" : " xmm-untouched\n"; }

}  // namespace

extern "C" [[noreturn]] void StubInterrupt(uint32_t vector, uint32_t eip) {
  if (vector == WATCHDOG_VECTOR) {
    Put("halted");
    PutHex(Ram().check, 2);
    Put(ModeName(Ram().mode));
    Put(XmmName());
  } else {
    Put("fault");
    PutHex(vector, 2);
    PutHex(eip, 8);
    Put("\n");
  }
  Exit();
}

extern "C" [[noreturn]] void StubMain() {
  // Caches on (the reset value of CR0 has CD and NW set, the MTRRs off); SSE
  // enabled as firmware that uses it does: no emulation, no task-switched
  // trap, OSFXSR.
  WriteMsr(MSR_MTRR_DEF_TYPE, MTRR_ENABLED_WRITE_BACK);
  WriteCr0((ReadCr0() & ~(CR0_CD | CR0_NW | CR0_EM | CR0_TS)) | CR0_MP | CR0_NE);
  WriteCr4(ReadCr4() | CR4_OSFXSR | CR4_OSXMMEXCPT);
  InstallPeiCore();
  InstallIdt();
  InstallWatchdog();

  const Parameters& p = Params();
  if (p.magic != PARAMETERS_MAGIC || p.checkCount > MAX_CHECKS) {
    Put("fault no-parameters\n");
    Exit();
  }
  using ModuleEntryPoint = EFI_STATUS (*)(EFI_PEI_FILE_HANDLE, const void*);
  // Any non-NULL file handle will do: the module only tests it against NULL.
  const EFI_STATUS entry = reinterpret_cast<ModuleEntryPoint>(p.moduleEntry)(
      reinterpret_cast<EFI_PEI_FILE_HANDLE>(p.moduleEntry), &Ram().servicesPointer);
  Put("entry");
  PutHex(entry, 8);
  Put("\n");

  const EFI_PEI_NOTIFY_DESCRIPTOR* notify = Ram().notify;
  for (uint32_t i = 0; notify != nullptr && i < p.checkCount; ++i) {
    Ram().check = i;
    Ram().mode = p.checks[i];
    FillXmm();
    const uint32_t cr4 = ReadCr4();
    if (p.checks[i] == CheckMode::SseDisabled) WriteCr4(cr4 & ~CR4_OSFXSR);
    ArmWatchdog(p.watchdogTicks);
    __asm__ volatile("sti");
    const uint64_t start = Rdtsc();
    const EFI_STATUS status = notify->Notify(&Ram().servicesPointer, notify, nullptr);
    const uint64_t ticks = Rdtsc() - start;
    __asm__ volatile("cli");
    ArmWatchdog(0);
    WriteCr4(cr4);
    Put("check");
    PutHex(i, 2);
    Put(ModeName(p.checks[i]));
    PutHex(status, 8);
    PutHex(ticks, 16);
    Put(XmmName());
  }
  Put("done\n");
  Exit();
}
