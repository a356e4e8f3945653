// The entry and the end-of-PEI check, run on the virtual platform: the pass
// leaves no trace, and every failure cause ends in the same POST code write
// followed by the halt.
#include <gtest/gtest.h>

#include "vplat/flash_image.h"
#include "runners/run_native.h"

namespace {

using vplat::Access;
using vplat::AccessKind;

runners::Scenario Default() {
  runners::Scenario s;
  s.image = vplat::BuildFlashImage({});
  s.traceHub = vplat::TraceHubMode::Absent;
  s.tscHobPresent = true;
  return s;
}

std::vector<Access> PortWrites(const runners::Outcome& o) {
  std::vector<Access> writes;
  for (const auto& a : o.log)
    if (a.kind == AccessKind::PortWrite && (a.address == 0x80 || a.address == 0x81)) writes.push_back(a);
  return writes;
}

TEST(EndOfPei, MatchingDigestPassesWithoutAnyPortWrite) {
  const auto o = runners::RunNative(Default());
  EXPECT_EQ(o.entryStatus, EFI_SUCCESS);
  ASSERT_TRUE(o.endOfPeiStatus.has_value());
  EXPECT_EQ(*o.endOfPeiStatus, EFI_SUCCESS);
  EXPECT_FALSE(o.halted);
  EXPECT_TRUE(PortWrites(o).empty());
  EXPECT_TRUE(o.postCodes.empty());
}

// Each way the image can fail the check.
struct FailureCase {
  const char* name;
  void (*spoil)(runners::Scenario&);
};

const FailureCase kFailures[] = {
    {"pool allocation fails", [](runners::Scenario& s) { s.failures[vplat::PeiService::AllocatePool] = EFI_OUT_OF_RESOURCES; }},
    {"no FIT signature", [](runners::Scenario& s) { vplat::Store(s.image, vplat::DEFAULT_FIT_ADDRESS, "_FIT_\0\0\0", 8); }},
    {"FIT pointer into nowhere", [](runners::Scenario& s) { vplat::Store32(s.image, vplat::FIT_POINTER, 0x12345678); }},
    {"bad FIT checksum", [](runners::Scenario& s) {
       s.image[vplat::OffsetOf(s.image, vplat::DEFAULT_FIT_ADDRESS) + 15] ^= 1;
     }},
    {"no manifest entry", [](runners::Scenario& s) {
       vplat::FlashImageOptions o;
       o.entries = {{0x01, 0xFFE00000u, 0}};
       s.image = vplat::BuildFlashImage(o);
     }},
    {"wrong manifest signature", [](runners::Scenario& s) { vplat::Store(s.image, vplat::DEFAULT_MANIFEST_ADDRESS, "__ACBQ__", 8); }},
    {"digest differs in its last byte", [](runners::Scenario& s) {
       vplat::FlashImageOptions o;
       o.digest = vplat::ReferenceDigest::Wrong;
       s.image = vplat::BuildFlashImage(o);
     }},
    {"region tampered", [](runners::Scenario& s) { s.image[vplat::OffsetOf(s.image, vplat::REGION_BASE + 0x1234)] ^= 0x80; }},
};

TEST(EndOfPei, EveryFailureCauseWritesPostCodeOnceThenHalts) {
  for (const auto& c : kFailures) {
    SCOPED_TRACE(c.name);
    auto s = Default();
    c.spoil(s);
    const auto o = runners::RunNative(s);
    EXPECT_EQ(o.entryStatus, EFI_SUCCESS);
    EXPECT_TRUE(o.halted);
    const auto writes = PortWrites(o);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], (Access{AccessKind::PortWrite, 0x80, 2, 0x008F}));
    EXPECT_EQ(o.postCodes, std::vector<uint8_t>{0x8F});
    ASSERT_FALSE(o.log.empty());
    EXPECT_EQ(o.log.back().kind, AccessKind::Halt);
  }
}

TEST(EndOfPei, FailedAllocationHashesNothingAndComparesNothing) {
  auto s = Default();
  s.failures[vplat::PeiService::AllocatePool] = 0x80000009;
  const auto o = runners::RunNative(s);
  // Only the TSC HOB search, the registration, the failed allocation, the
  // POST code, the trace hub probe that finds no hub, and the halt.
  ASSERT_EQ(o.log.size(), 6u);
  EXPECT_EQ(o.log[2].service, vplat::PeiService::AllocatePool);
  EXPECT_EQ(o.log[2].args[1], 112u);
  EXPECT_EQ(o.log[3], (Access{AccessKind::PortWrite, 0x80, 2, 0x008F}));
  EXPECT_EQ(o.log[4], (Access{AccessKind::MmioRead, 0xE00FA000u, 2, 0xFFFF}));
  EXPECT_EQ(o.log[5].kind, AccessKind::Halt);
}

TEST(ModuleEntry, ReturnsNotifyPpiStatusUnchanged) {
  for (EFI_STATUS status : {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER, 0x80000021u}) {
    auto s = Default();
    s.failures[vplat::PeiService::NotifyPpi] = status;
    const auto o = runners::RunNative(s);
    EXPECT_EQ(o.entryStatus, status);
    EXPECT_FALSE(o.endOfPeiStatus.has_value()) << "no check may run without a registration";
    EXPECT_TRUE(o.postCodes.empty());
  }
}

TEST(ModuleEntry, RegistersOneTerminatingNotifyForEndOfPei) {
  for (bool fileHandle : {true, false}) {
    auto s = Default();
    s.fileHandle = fileHandle;
    s.signalEndOfPei = false;
    const auto o = runners::RunNative(s);
    EXPECT_EQ(o.entryStatus, EFI_SUCCESS);
    const auto calls = [&] {
      std::vector<Access> c;
      for (const auto& a : o.log)
        if (a.kind == AccessKind::Service && a.service == vplat::PeiService::NotifyPpi) c.push_back(a);
      return c;
    }();
    ASSERT_EQ(calls.size(), 1u);
    // services pointer, flags, then the End of PEI Phase PPI GUID as four words.
    EXPECT_EQ(calls[0].args, (std::vector<uint32_t>{vplat::SERVICES_POINTER, 0x80000020u, 0x605ea650u,
                                                    0x42e1c65cu, 0xa59180bau, 0xc618b62au}));
  }
}

}  // namespace
