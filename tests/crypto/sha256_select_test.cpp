// Which compression the engine runs: the SHA extensions exactly when CPUID
// reports SHA (leaf 7, which leaf 0 must say exists), SSSE3 and SSE4.1, and
// CR4.OSFXSR is set; the portable code in every other case.
#include <gtest/gtest.h>

#include "tests/crypto/sha256_test_support.h"
#include "vplat/cpu_state.h"

namespace {

class Sha256Select : public sha256_test::OnVirtualPlatform {};

TEST_F(Sha256Select, ShaExtensionsExactlyWhenAllFourConditionsHold) {
  enum : unsigned { SHA = 1, SSSE3 = 2, SSE41 = 4, OSFXSR = 8, ALL = 15 };
  for (unsigned present = 0; present <= ALL; ++present) {
    vplat::CpuState cpu = vplat::ShaCapableCpu();
    if (!(present & SHA)) cpu.cpuid[{7, 0}].ebx &= ~vplat::CPUID7_EBX_SHA;
    if (!(present & SSSE3)) cpu.cpuid[{1, 0}].ecx &= ~vplat::CPUID1_ECX_SSSE3;
    if (!(present & SSE41)) cpu.cpuid[{1, 0}].ecx &= ~vplat::CPUID1_ECX_SSE41;
    if (!(present & OSFXSR)) cpu.cr4 &= ~vplat::CR4_OSFXSR;
    platform.cpu = cpu;
    EXPECT_EQ(ShaExtensionsUsable(), present == ALL)
        << "SHA " << (present & SHA ? 1 : 0) << " SSSE3 " << (present & SSSE3 ? 1 : 0) << " SSE4.1 "
        << (present & SSE41 ? 1 : 0) << " OSFXSR " << (present & OSFXSR ? 1 : 0);
  }
}

TEST_F(Sha256Select, LeafSevenCountsOnlyWhereLeafZeroSaysItExists) {
  struct Case {
    const char* name;
    uint32_t maxLeaf;
    bool shaInSubleaf0;
    bool shaInSubleaf1;
    bool expected;
  };
  const Case cases[] = {
      {"highest leaf 7", 7, true, false, true},
      {"highest leaf 6: leaf 7 is stale data", 6, true, false, false},
      {"highest leaf 1", 1, true, false, false},
      {"SHA bit only in subleaf 1", 13, false, true, false},
  };
  for (const auto& c : cases) {
    vplat::CpuState cpu = vplat::ShaCapableCpu();
    cpu.cpuid[{0, 0}].eax = c.maxLeaf;
    if (!c.shaInSubleaf0) cpu.cpuid[{7, 0}].ebx &= ~vplat::CPUID7_EBX_SHA;
    if (c.shaInSubleaf1) cpu.cpuid[{7, 1}].ebx |= vplat::CPUID7_EBX_SHA;
    platform.cpu = cpu;
    EXPECT_EQ(ShaExtensionsUsable(), c.expected) << c.name;
  }
}

}  // namespace
