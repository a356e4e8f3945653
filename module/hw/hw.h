// The hardware seam: the one place that knows whether the module runs on the
// machine or on the virtual platform. One function per instruction or access,
// exact widths, no policy. The build links exactly one backend: the target
// backend in hw/target/, or the virtual platform's for host builds.
#pragma once

#include "module/types/efi_types.h"

namespace hw {

// Port I/O (IN/OUT).
uint8_t In8(uint16_t port);
void Out8(uint16_t port, uint8_t value);
uint16_t In16(uint16_t port);
void Out16(uint16_t port, uint16_t value);

// RDTSC, without serialisation.
uint64_t ReadTsc();

// EFLAGS.IF (PUSHF), CLI and STI.
bool InterruptsEnabled();
void DisableInterrupts();
void EnableInterrupts();

// The linear base address of the IDT (SIDT).
PhysAddr IdtBase();

// CPUID with EAX = leaf and ECX = subleaf.
struct CpuidResult {
  uint32_t eax;
  uint32_t ebx;
  uint32_t ecx;
  uint32_t edx;
};
CpuidResult Cpuid(uint32_t leaf, uint32_t subleaf);

// CR4 (MOV from CR4).
uint32_t ReadCr4();

// Physical memory accesses of exactly the given width, never merged or split.
uint8_t Read8(PhysAddr address);
uint16_t Read16(PhysAddr address);
uint32_t Read32(PhysAddr address);
void Write8(PhysAddr address, uint8_t value);
void Write16(PhysAddr address, uint16_t value);
void Write32(PhysAddr address, uint32_t value);

// A physical range as bytes, for reading in place (hashing, compares) and for
// memory the module owns (pool blocks, HOB data). The range must not wrap past
// 4 GiB; callers check that first.
const uint8_t* Bytes(PhysAddr address, uint32_t length);
uint8_t* MutableBytes(PhysAddr address, uint32_t length);

// One pass of the halt loop: reads the flag the loop spins on.
uint32_t ReadHaltFlag(const volatile uint32_t* flag);

// Calls of PEI services through a function pointer taken from the services
// table (IA-32 cdecl). `services` is the pointer to the table pointer.
EFI_STATUS CallNotifyPpi(PhysAddr function, PhysAddr services,
                         const EFI_PEI_NOTIFY_DESCRIPTOR* notifyList);
EFI_STATUS CallAllocatePool(PhysAddr function, PhysAddr services, uint32_t size,
                            PhysAddr* block);
EFI_STATUS CallGetHobList(PhysAddr function, PhysAddr services, PhysAddr* hobList);
EFI_STATUS CallCreateHob(PhysAddr function, PhysAddr services, uint16_t type,
                         uint16_t length, PhysAddr* hob);

}  // namespace hw
