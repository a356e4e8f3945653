// Target backend of the hardware seam: the instructions themselves and
// volatile accesses at the physical address (flat 32-bit protected mode, so a
// physical address is a linear address is a pointer).
#include "module/hw/hw.h"

namespace hw {
namespace {

template <typename T>
volatile T* At(PhysAddr address) {
  return reinterpret_cast<volatile T*>(static_cast<uintptr_t>(Raw(address)));
}

template <typename F>
F FunctionAt(PhysAddr address) {
  return reinterpret_cast<F>(static_cast<uintptr_t>(Raw(address)));
}

}  // namespace

uint8_t In8(uint16_t port) {
  uint8_t value;
  __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
  return value;
}

void Out8(uint16_t port, uint8_t value) {
  __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

uint16_t In16(uint16_t port) {
  uint16_t value;
  __asm__ volatile("inw %1, %0" : "=a"(value) : "Nd"(port));
  return value;
}

void Out16(uint16_t port, uint16_t value) {
  __asm__ volatile("outw %0, %1" : : "a"(value), "Nd"(port));
}

uint64_t ReadTsc() {
  uint32_t low, high;
  __asm__ volatile("rdtsc" : "=a"(low), "=d"(high));
  return (static_cast<uint64_t>(high) << 32) | low;
}

bool InterruptsEnabled() {
  uint32_t eflags;
  __asm__ volatile("pushfl\n\tpopl %0" : "=r"(eflags));
  return (eflags & (1u << 9)) != 0;
}

void DisableInterrupts() { __asm__ volatile("cli" ::: "memory"); }
void EnableInterrupts() { __asm__ volatile("sti" ::: "memory"); }

PhysAddr IdtBase() {
  struct __attribute__((packed)) {
    uint16_t limit;
    uint32_t base;
  } idtr;
  __asm__ volatile("sidt %0" : "=m"(idtr));
  return Phys(idtr.base);
}

CpuidResult Cpuid(uint32_t leaf, uint32_t subleaf) {
  CpuidResult r;
  __asm__ volatile("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(subleaf));
  return r;
}

uint32_t ReadCr4() {
  uint32_t value;
  __asm__ volatile("movl %%cr4, %0" : "=r"(value));
  return value;
}

uint8_t Read8(PhysAddr address) { return *At<uint8_t>(address); }
uint16_t Read16(PhysAddr address) { return *At<uint16_t>(address); }
uint32_t Read32(PhysAddr address) { return *At<uint32_t>(address); }
void Write8(PhysAddr address, uint8_t value) { *At<uint8_t>(address) = value; }
void Write16(PhysAddr address, uint16_t value) { *At<uint16_t>(address) = value; }
void Write32(PhysAddr address, uint32_t value) { *At<uint32_t>(address) = value; }

const uint8_t* Bytes(PhysAddr address, uint32_t) {
  return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(Raw(address)));
}

uint8_t* MutableBytes(PhysAddr address, uint32_t) {
  return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(Raw(address)));
}

uint32_t ReadHaltFlag(const volatile uint32_t* flag) { return *flag; }

EFI_STATUS CallNotifyPpi(PhysAddr function, PhysAddr services,
                         const EFI_PEI_NOTIFY_DESCRIPTOR* notifyList) {
  using Fn = EFI_STATUS (*)(uint32_t, const EFI_PEI_NOTIFY_DESCRIPTOR*);
  return FunctionAt<Fn>(function)(Raw(services), notifyList);
}

EFI_STATUS CallAllocatePool(PhysAddr function, PhysAddr services, uint32_t size,
                            PhysAddr* block) {
  using Fn = EFI_STATUS (*)(uint32_t, uint32_t, PhysAddr*);
  return FunctionAt<Fn>(function)(Raw(services), size, block);
}

EFI_STATUS CallGetHobList(PhysAddr function, PhysAddr services, PhysAddr* hobList) {
  using Fn = EFI_STATUS (*)(uint32_t, PhysAddr*);
  return FunctionAt<Fn>(function)(Raw(services), hobList);
}

EFI_STATUS CallCreateHob(PhysAddr function, PhysAddr services, uint16_t type,
                         uint16_t length, PhysAddr* hob) {
  using Fn = EFI_STATUS (*)(uint32_t, uint16_t, uint16_t, PhysAddr*);
  return FunctionAt<Fn>(function)(Raw(services), type, length, hob);
}

}  // namespace hw
