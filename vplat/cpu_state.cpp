#include "vplat/cpu_state.h"

namespace vplat {

hw::CpuidResult CpuState::Cpuid(uint32_t leaf, uint32_t subleaf) const {
  const auto it = cpuid.find({leaf, subleaf});
  return it != cpuid.end() ? it->second : hw::CpuidResult{};
}

CpuState ShaCapableCpu() {
  CpuState cpu;
  cpu.cpuid[{1, 0}].ecx |= CPUID1_ECX_SSSE3 | CPUID1_ECX_SSE41;
  cpu.cpuid[{7, 0}].ebx |= CPUID7_EBX_SHA;
  cpu.cr4 |= CR4_OSFXSR;
  return cpu;
}

}  // namespace vplat
