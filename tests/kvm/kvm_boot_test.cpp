// The shipped module in QEMU on the boot stub: the same verdicts on the SHA
// path and on the portable path, XMM registers untouched whenever SSE is off,
// and under KVM the SHA path taken exactly where the host processor has it,
// with the TSC ticks of the end-of-PEI check per hashed byte for both paths,
// measured in the same boot. TCG runs everywhere QEMU is installed; KVM only
// where the processor itself runs the guest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "kvm/kvm_boot.h"
#include "common/host_cpu.h"
#include "tests/support/shipped_module.h"
#include "vplat/flash_image.h"

namespace {

using kvm::Accelerator;
using kvm_stub::CheckMode;

// Portable and as-is checks alternate, so that machine noise hits both; the
// figure of each path is its fastest check.
constexpr int REPETITIONS = 5;

class Boot : public ::testing::TestWithParam<Accelerator> {
 protected:
  void SetUp() override {
    if (const auto why = kvm::Unavailable(GetParam())) GTEST_SKIP() << *why;
  }

  // Under KVM the guest has the host's SHA extensions; QEMU's own CPU model
  // may or may not have them, so under TCG only SSE-off checks are certain.
  std::optional<bool> ExpectXmmUsed(CheckMode mode) const {
    if (mode == CheckMode::SseDisabled) return false;
    if (GetParam() == Accelerator::Kvm) return common::HostHasShaExtensions();
    return std::nullopt;
  }

  kvm::BootReport Run(std::vector<uint8_t> flash, const std::vector<CheckMode>& checks) const {
    const kvm::StubPieces stub = kvm::ReadStub(VERIFLASH_STUB_CODE_PATH, VERIFLASH_STUB_RESET_PATH);
    return kvm::Boot(kvm::BuildBootImage(std::move(flash), test_support::ShippedModule(), stub, checks, GetParam()),
                     GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(Qemu, Boot, ::testing::Values(Accelerator::Kvm, Accelerator::Tcg),
                         [](const auto& info) { return info.param == Accelerator::Kvm ? "Kvm" : "Tcg"; });

TEST_P(Boot, PassingImagePassesOnBothPaths) {
  std::vector<CheckMode> checks;
  for (int i = 0; i < REPETITIONS; ++i) {
    checks.push_back(CheckMode::SseDisabled);
    checks.push_back(CheckMode::AsIs);
  }
  const kvm::BootReport report = Run(vplat::BuildFlashImage({}), checks);
  EXPECT_EQ(report.entryStatus, EFI_SUCCESS) << report.serial;
  ASSERT_EQ(report.checks.size(), checks.size()) << report.serial;
  uint64_t fastest[2] = {UINT64_MAX, UINT64_MAX};
  for (size_t i = 0; i < checks.size(); ++i) {
    const kvm::CheckResult& c = report.checks[i];
    EXPECT_EQ(c.mode, checks[i]) << "check " << i;
    EXPECT_EQ(c.status, std::optional<EFI_STATUS>(EFI_SUCCESS)) << "check " << i << "\n" << report.serial;
    if (const auto used = ExpectXmmUsed(checks[i])) {
      EXPECT_EQ(c.xmmUsed, *used) << "check " << i << "\n" << report.serial;
    }
    const bool asIs = checks[i] == CheckMode::AsIs;
    fastest[asIs] = std::min(fastest[asIs], c.tscTicks);
  }
  if (GetParam() == Accelerator::Kvm) {
    std::printf("end-of-PEI check on this processor, fastest of %d, TSC ticks per hashed byte: "
                "portable %.2f, SHA path %s %.2f\n",
                REPETITIONS, double(fastest[0]) / vplat::REGION_SIZE,
                common::HostHasShaExtensions() ? "(taken)" : "(not available)",
                double(fastest[1]) / vplat::REGION_SIZE);
  }
}

TEST_P(Boot, TamperedImageHaltsOnBothPaths) {
  std::vector<uint8_t> flash = vplat::BuildFlashImage({});
  flash[vplat::OffsetOf(flash, vplat::REGION_BASE + 0x1234)] ^= 0x80;
  for (CheckMode mode : {CheckMode::AsIs, CheckMode::SseDisabled}) {
    const kvm::BootReport report = Run(flash, {mode, mode});
    ASSERT_EQ(report.checks.size(), 1u) << "the first check must halt\n" << report.serial;
    EXPECT_EQ(report.checks[0].status, std::nullopt) << report.serial;
    if (const auto used = ExpectXmmUsed(mode)) {
      EXPECT_EQ(report.checks[0].xmmUsed, *used) << report.serial;
    }
  }
}

}  // namespace
