// The shipped binary does what the tested host build does: every fidelity
// scenario runs on both, and the whole outcome — the ordered access log
// above all — must be identical.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "runners/run_emulated.h"
#include "tests/runners/fidelity_scenarios.h"
#include "tests/support/shipped_module.h"
#include "runners/run_native.h"

namespace {

std::vector<std::vector<uint8_t>> HobBytes(const runners::Outcome& o) {
  std::vector<std::vector<uint8_t>> hobs;
  for (const auto& h : o.hobs) hobs.push_back(h.bytes);
  return hobs;
}

// The emulated log without the entries only the binary can show, each of
// which must be there, in order.
std::vector<vplat::Access> Comparable(std::vector<vplat::Access> log, const std::vector<vplat::Access>& emulatedOnly) {
  auto from = log.begin();
  for (const auto& extra : emulatedOnly) {
    from = std::find(from, log.end(), extra);
    EXPECT_NE(from, log.end()) << "the binary's log lacks " << vplat::Describe(extra);
    if (from == log.end()) break;
    from = log.erase(from);
  }
  return log;
}

void ExpectSameOutcome(const runners::Outcome& native, const runners::Outcome& emulated,
                       const std::vector<vplat::Access>& emulatedOnly) {
  const auto comparable = Comparable(emulated.log, emulatedOnly);
  EXPECT_TRUE(native.log == comparable) << vplat::DescribeDifference(native.log, comparable);
  EXPECT_EQ(native.entryStatus, emulated.entryStatus);
  EXPECT_EQ(native.endOfPeiStatus, emulated.endOfPeiStatus);
  EXPECT_EQ(native.notificationsRun, emulated.notificationsRun);
  EXPECT_EQ(runners::VerdictOf(native), runners::VerdictOf(emulated));
  EXPECT_EQ(native.postCodes, emulated.postCodes);
  EXPECT_EQ(HobBytes(native), HobBytes(emulated));
  EXPECT_EQ(native.interruptsEnabled, emulated.interruptsEnabled);
}

TEST(Fidelity, EmulatedBinaryMatchesHostBuildInEveryScenario) {
  for (const auto& c : test_support::FidelityScenarios()) {
    SCOPED_TRACE(c.name);
    const runners::Scenario s = c.make();
    const runners::Outcome native = runners::RunNative(s);
    const runners::EmulatedRun emulated = runners::Emulate(s, test_support::ShippedModule());
    ExpectSameOutcome(native, emulated.outcome, c.emulatedOnly);
    const auto& f = emulated.figures;
    std::printf("%-34s %-8s entry %7llu instr %4u B stack, end of PEI %10llu instr %4u B stack\n", c.name.c_str(),
                runners::VerdictWord(runners::VerdictOf(emulated.outcome)), static_cast<unsigned long long>(f.entryInstructions), f.entryStack,
                static_cast<unsigned long long>(f.endOfPeiInstructions), f.endOfPeiStack);
  }
}

}  // namespace
