// The emulated runner refuses to place the module where it would change the
// bytes the check hashes, or in RAM the platform uses; loaded into RAM where
// a PEI core runs a decompressed volume's PEIM, the module does what it does
// from the flash.
#include "runners/run_emulated.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/pe_image.h"
#include "tests/support/error_message.h"
#include "tests/support/shipped_module.h"

namespace {

TEST(Emulate, RefusesAModuleInsideTheCheckedRegion) {
  runners::Scenario s;
  s.image = vplat::BuildFlashImage({});
  runners::EmuOptions options;
  options.moduleAddress = vplat::REGION_BASE + vplat::REGION_SIZE - 0x1000;
  const std::string message = test_support::ErrorMessage<firmware::PeError>(
      [&] { runners::Emulate(s, test_support::ShippedModule(), options); });
  EXPECT_EQ(message, "module address 0xFFD3F000 lies below the end of the checked region 0xFFD40000");
}

TEST(EmulateInRam, RunsLikeFromFlashAndRefusesThePlatformsRam) {
  runners::Scenario s;
  s.image = vplat::BuildFlashImage({});
  const runners::Outcome fromFlash = runners::Emulate(s, test_support::ShippedModule()).outcome;
  ASSERT_TRUE(fromFlash.endOfPeiStatus);
  struct Case {
    uint32_t address;
    std::string refusal;  // empty: runs
  };
  const std::vector<Case> cases = {
      {vplat::STACK_TOP, ""},
      {vplat::STACK_TOP - 0x20, "does not lie in the RAM free for it (0x800000-0xFFFFFF)"},
      {vplat::RAM_SIZE - 0x1000, "does not lie in the RAM free for it (0x800000-0xFFFFFF)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    runners::EmuOptions options;
    options.moduleAddress = c.address;
    if (!c.refusal.empty()) {
      const std::string message = test_support::ErrorMessage<firmware::PeError>(
          [&] { runners::EmulateInRam(s, test_support::ShippedModule(), options); });
      EXPECT_NE(message.find(c.refusal), std::string::npos) << message;
      continue;
    }
    const runners::Outcome inRam = runners::EmulateInRam(s, test_support::ShippedModule(), options).outcome;
    EXPECT_EQ(inRam.entryStatus, fromFlash.entryStatus);
    EXPECT_EQ(inRam.endOfPeiStatus, fromFlash.endOfPeiStatus);
    EXPECT_EQ(inRam.postCodes, fromFlash.postCodes);
    EXPECT_EQ(inRam.halted, fromFlash.halted);
    EXPECT_EQ(inRam.log.size(), fromFlash.log.size());
    EXPECT_EQ(inRam.hobs.size(), fromFlash.hobs.size());
  }
}

}  // namespace
