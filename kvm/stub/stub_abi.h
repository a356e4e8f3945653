// What the boot stub and the host that builds its flash image agree on: where
// the stub, its parameters and its RAM lie, the parameter record the host
// writes into flash, and the serial report the stub writes back.
// Freestanding: the stub (i686) and the host both include it.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kvm_stub {

// The flash image ends at 4 GiB; the processor starts at 0xFFFFFFF0 in real
// mode with CS based at 0xFFFF0000, so the stub's 16-bit code must lie in the
// top 64 KiB. The stub's code starts there; its parameters follow below the
// FIT pointer at 0xFFFFFFC0.
inline constexpr uint32_t CODE_ADDRESS = 0xFFFF0000u;
inline constexpr uint32_t CODE_LIMIT = 0xFFFFF000u;  // the code must end below this
inline constexpr uint32_t PARAMETERS_ADDRESS = 0xFFFFF000u;
inline constexpr uint32_t RESET_VECTOR = 0xFFFFFFF0u;

// RAM the stub lays out for the module: the IDT (with the word below it that
// points to the services pointer), the services table, the HOB list, the pool
// and the stack. All of it lies in the first MiB, which every QEMU machine has.
inline constexpr uint32_t IDT_ADDRESS = 0x00010000u;
inline constexpr uint32_t STATE_ADDRESS = 0x00020000u;
inline constexpr uint32_t HOB_LIST_ADDRESS = 0x00030000u;
inline constexpr uint32_t HOB_LIST_LIMIT = 0x00040000u;
inline constexpr uint32_t POOL_ADDRESS = 0x00040000u;
inline constexpr uint32_t POOL_LIMIT = 0x00070000u;
inline constexpr uint32_t STACK_TOP = 0x00080000u;

// How one End-of-PEI call runs.
enum class CheckMode : uint32_t {
  AsIs = 1,        // CR4.OSFXSR set, as firmware that enables SSE leaves it
  SseDisabled = 2  // CR4.OSFXSR cleared: the module must take its portable path
};

inline constexpr uint32_t PARAMETERS_MAGIC = 0x4B534656u;  // "VFSK"
inline constexpr uint32_t MAX_CHECKS = 16;

// Written by the host at PARAMETERS_ADDRESS.
struct Parameters {
  uint32_t magic;
  uint32_t moduleEntry;     // physical address of ModuleEntry
  uint32_t checkCount;      // End-of-PEI calls, at most MAX_CHECKS
  uint32_t watchdogTicks;   // local APIC timer ticks (divide by 16) before a check counts as halted
  CheckMode checks[MAX_CHECKS];
};
static_assert(offsetof(Parameters, moduleEntry) == 4);
static_assert(offsetof(Parameters, checkCount) == 8);
static_assert(offsetof(Parameters, watchdogTicks) == 12);
static_assert(offsetof(Parameters, checks) == 16);
static_assert(sizeof(Parameters) == 16 + 4 * MAX_CHECKS);

// The report, one line per event on COM1, fields separated by spaces, numbers
// in hexadecimal:
//   entry STATUS
//   check INDEX MODE STATUS TSC_TICKS XMM        (the notification returned)
//   halted INDEX MODE XMM                        (the watchdog fired during check INDEX)
//   fault VECTOR EIP                             (any other exception or interrupt)
//   done
// MODE is "as-is" or "sse-off"; XMM is "xmm-used" when the check changed an
// XMM register, "xmm-untouched" otherwise. After "done", "halted" or "fault"
// the stub writes EXIT_VALUE to the isa-debug-exit port, so QEMU exits with
// status EXIT_VALUE * 2 + 1.
inline constexpr uint16_t DEBUG_EXIT_PORT = 0xF4;
inline constexpr uint8_t EXIT_VALUE = 0x10;
inline constexpr int EXIT_STATUS = EXIT_VALUE * 2 + 1;

}  // namespace kvm_stub
