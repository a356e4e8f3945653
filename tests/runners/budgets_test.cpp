// The shipped image's size against its budget; the emulated figures are held
// against theirs by the fidelity test, which runs every scenario anyway.
#include <gtest/gtest.h>

#include "tests/runners/budgets.h"
#include "tests/support/shipped_module.h"

namespace {

TEST(Budgets, ImageSize) {
  const size_t size = test_support::ShippedModule().size();
  EXPECT_LE(size, test_support::IMAGE_SIZE_BUDGET)
      << "veriflash.efi is " << size << " bytes, budget " << test_support::IMAGE_SIZE_BUDGET;
}

}  // namespace
