// The HOB walk and GUID HOB creation called directly: where the walk stops on
// a malformed list, the 16-bit length limit, and the GUID compare.
#include <gtest/gtest.h>

#include "module/platform/guid.h"
#include "module/platform/hob_list.h"
#include "module/platform/tsc_frequency.h"
#include "platform_test_support.h"

namespace {

using namespace platform_test;

const std::vector<uint8_t> kPhit = RawHob(0x0001, 56);

TEST(GuidEquals, EqualOnlyWhenAllFourWordsAre) {
  const EFI_GUID base = {0x01234567, 0x89ab, 0xcdef, {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe}};
  for (size_t byte : {0, 3, 4, 7, 8, 11, 12, 15}) {
    SCOPED_TRACE(byte);
    EFI_GUID other = base;
    reinterpret_cast<uint8_t*>(&other)[byte] ^= 0x80;
    EXPECT_EQ(GuidEquals(&base, &other), 0);
    EXPECT_EQ(GuidEquals(&other, &base), 0);
  }
  const EFI_GUID copy = base;
  EXPECT_EQ(GuidEquals(&base, &copy), 1);
}

// Lists that end the walk early: none may loop, or reach the TSC HOB behind.
TEST(LookupGuidHob, ZeroLengthHobEndsTheWalk) {
  const struct {
    const char* name;
    std::vector<std::vector<uint8_t>> hobs;
  } cases[] = {
      {"of another type", {kPhit, RawHob(0x0003, 0), GuidHob(TSC_GUID_BYTES, {}, 32)}},
      {"a GUID HOB of another name", {kPhit, GuidHob({0xEE}, {}, 24), RawHob(0x0004, 0), GuidHob(TSC_GUID_BYTES, {}, 32)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vplat::Platform p;
    WriteHobList(p, c.hobs);
    vplat::ScopedPlatform scope(p);
    EXPECT_EQ(LookupGuidHob(&TscFrequencyGuid), NULL_PHYS);
  }
}

TEST(ScanGuidExtensionHob, NeverWalksPast4GiB) {
  // The top 64 bytes of the address space: two 32-byte HOBs, the second
  // ending at 4 GiB, and GUID HOB type bytes in the last four.
  std::vector<uint8_t> top(0x40, 0xFF);
  const auto resource = RawHob(0x0003, 0x20);
  std::copy(resource.begin(), resource.end(), top.begin());
  std::copy(resource.begin(), resource.end(), top.begin() + 0x20);
  const uint8_t lastWord[] = {0x04, 0x00, 0x08, 0x00};
  std::copy(std::begin(lastWord), std::end(lastWord), top.begin() + 0x3C);
  vplat::Platform p;
  p.memory.MapFlash(top);
  // Where a walk that wrapped around would land.
  const auto atZero = RawHob(EFI_HOB_TYPE_GUID_EXTENSION, 24);
  p.memory.Poke(0, atZero.data(), 24);
  vplat::ScopedPlatform scope(p);

  EXPECT_EQ(ScanGuidExtensionHob(Phys(0xFFFFFFC0)), NULL_PHYS);
  EXPECT_EQ(ScanGuidExtensionHob(Phys(0xFFFFFFFC)), NULL_PHYS) << "no room for a header";
  EXPECT_EQ(ScanGuidExtensionHob(NULL_PHYS), NULL_PHYS) << "no list";
}

TEST(ReserveGuidHobData, LengthMustFitSixteenBits) {
  const struct {
    uint32_t dataLength;
    std::vector<Access> log;
  } cases[] = {
      {0xFFFF - 24 + 1, {}},  // refused before CreateHob
      {0xFFFF - 24,
       {Call(vplat::PeiService::CreateHob, EFI_OUT_OF_RESOURCES, {vplat::SERVICES_POINTER, 4, 0xFFFF, 0})}},  // list too small
      {0xFFFFFFFF, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dataLength);
    vplat::Platform p;
    vplat::ScopedPlatform scope(p);
    EXPECT_EQ(ReserveGuidHobData(&TscFrequencyGuid, c.dataLength), NULL_PHYS);
    EXPECT_EQ(p.log.Entries(), c.log);
  }
}

}  // namespace
