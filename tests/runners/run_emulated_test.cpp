// The emulated runner refuses to place the module where it would change the
// bytes the check hashes.
#include "runners/run_emulated.h"

#include <gtest/gtest.h>

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

}  // namespace
