// What CPUID and MOV from CR4 show the module on the virtual platform. Tests
// set it to present any processor; the defaults are the answers of the
// emulator's CPU model (Unicorn 2.0.1 in 32-bit mode, read once on this
// project's machines), so the host build and the emulated binary pick the
// same code paths.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

#include "module/hw/hw.h"

namespace vplat {

// Feature bits, as the processor manuals number them.
inline constexpr uint32_t CPUID1_ECX_SSSE3 = 1u << 9;
inline constexpr uint32_t CPUID1_ECX_SSE41 = 1u << 19;
inline constexpr uint32_t CPUID7_EBX_SHA = 1u << 29;
inline constexpr uint32_t CR4_OSFXSR = 1u << 9;

struct CpuState {
  // Answers by (leaf, subleaf); a leaf not listed reads as all zeros. Leaf 0's
  // EAX (the highest basic leaf) is data like any other: nothing stops a
  // caller from asking past it, as on a real processor.
  std::map<std::pair<uint32_t, uint32_t>, hw::CpuidResult> cpuid = {
      {{0, 0}, {13, 0x756E6547, 0x6C65746E, 0x49656E69}},  // "GenuineIntel"
      {{1, 0}, {0x000006A1, 0x00000800, 0x02182200, 0x07088100}},  // SSSE3 and SSE4.1, no AVX
      {{7, 0}, {0, 0x00180108, 0, 0}},                          // no SHA extensions
  };
  uint32_t cr4 = 0;  // OSFXSR clear

  hw::CpuidResult Cpuid(uint32_t leaf, uint32_t subleaf) const;
};

// The default state with the SHA extensions, SSSE3, SSE4.1 and CR4.OSFXSR
// all present: a processor on which the module may use its SHA path.
CpuState ShaCapableCpu();

}  // namespace vplat
