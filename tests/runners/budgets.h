// What the shipped module may cost, each budget defined once, and the check
// that holds an emulated run's figures against them. A change that breaks
// one fails with the figure and the budget in the message.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "runners/run_emulated.h"

namespace test_support {

// The image's file size: 24 KiB leaves about 1 KiB over the 22,976 bytes of
// the portable-only image for the SHA-extensions path (22,944 bytes with it,
// as the portable rounds shrank when they became a loop).
inline constexpr uint32_t IMAGE_SIZE_BUDGET = 24 * 1024;
// ModuleEntry runs on the PEI core's temporary stack, often cache-as-RAM of
// a few KiB for everything: 256 bytes is about 2.5 times the 104 measured.
inline constexpr uint32_t ENTRY_STACK_BUDGET = 256;
// End of PEI runs on permanent memory but still in PEI: 1 KiB leaves room
// over the 628 bytes measured before this budget (584 now), the 200-byte
// trace line buffer of the failure path included.
inline constexpr uint32_t END_OF_PEI_STACK_BUDGET = 1024;
// Instructions of the end-of-PEI check on a pass, portable path, as the
// fidelity test's "pass" scenario records them on the emulator: 57.25 per
// hashed byte. Within 1% either way: more is a regression, and markedly
// fewer means this record is stale and should be updated.
inline constexpr uint64_t END_OF_PEI_PASS_INSTRUCTIONS = 168'843'403;
inline constexpr double END_OF_PEI_INSTRUCTION_TOLERANCE = 0.01;

inline void ExpectWithinBudgets(const std::string& scenario, runners::Verdict verdict, const runners::EmuFigures& f) {
  EXPECT_LE(f.entryStack, ENTRY_STACK_BUDGET) << scenario << ": entry stack " << f.entryStack
                                              << " bytes, budget " << ENTRY_STACK_BUDGET;
  EXPECT_LE(f.endOfPeiStack, END_OF_PEI_STACK_BUDGET) << scenario << ": end-of-PEI stack " << f.endOfPeiStack
                                                      << " bytes, budget " << END_OF_PEI_STACK_BUDGET;
  if (verdict != runners::Verdict::Pass) return;
  const double low = END_OF_PEI_PASS_INSTRUCTIONS * (1 - END_OF_PEI_INSTRUCTION_TOLERANCE);
  const double high = END_OF_PEI_PASS_INSTRUCTIONS * (1 + END_OF_PEI_INSTRUCTION_TOLERANCE);
  const double figure = static_cast<double>(f.endOfPeiInstructions);
  EXPECT_TRUE(figure >= low && figure <= high)
      << scenario << ": end-of-PEI instructions " << f.endOfPeiInstructions << ", budget "
      << END_OF_PEI_PASS_INSTRUCTIONS << " within 1% (" << static_cast<uint64_t>(low) << ".."
      << static_cast<uint64_t>(high) << ")";
}

}  // namespace test_support
