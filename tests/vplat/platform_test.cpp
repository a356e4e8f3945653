// The virtual platform itself: open bus, read-only flash, the PEI core's
// table layout and services, and the flash image builder.
#include <gtest/gtest.h>

#include <cstring>

#include "vplat/devices/post_code.h"
#include "vplat/flash_image.h"
#include "vplat/platform.h"

namespace {

using vplat::Access;
using vplat::AccessKind;

TEST(MemoryMap, OpenBusFloatsHighFlashIgnoresWritesAndOnlyPlainMemoryGoesUnlogged) {
  vplat::Platform p;
  p.memory.MapFlash(std::vector<uint8_t>(0x1000, 0x5A));
  struct Case {
    uint32_t address;
    uint8_t width;
    uint32_t value;
  };
  const Case reads[] = {
      {0x40000000, 4, 0xFFFFFFFF},             // nothing there
      {0xFFFFF000, 4, 0x5A5A5A5A},             // flash
      {0xFFFFEFFE, 4, 0x5A5AFFFF},             // straddles the start of flash
      {vplat::RAM_SIZE - 1, 2, 0xFF00},        // last RAM byte (0), then open bus
      {0x00001000, 4, 0x00000000},             // RAM
  };
  for (const auto& c : reads) EXPECT_EQ(p.memory.Read(c.address, c.width), c.value) << std::hex << c.address;
  p.memory.Write(0xFFFFF000, 4, 0);
  p.memory.Write(0x40000000, 1, 0);
  p.memory.Write(0x00001000, 4, 7);
  EXPECT_EQ(p.memory.Read(0xFFFFF000, 4), 0x5A5A5A5Au);
  EXPECT_EQ(p.memory.Read(0x00001000, 4), 7u);
  const std::vector<Access> expected = {
      {AccessKind::OpenBusRead, 0x40000000, 4, 0xFFFFFFFF},
      {AccessKind::OpenBusRead, 0xFFFFEFFE, 4, 0x5A5AFFFF},
      {AccessKind::OpenBusRead, vplat::RAM_SIZE - 1, 2, 0xFF00},
      {AccessKind::FlashWrite, 0xFFFFF000, 4, 0},
      {AccessKind::OpenBusWrite, 0x40000000, 1, 0},
  };
  EXPECT_TRUE(p.log.Entries() == expected) << vplat::DescribeDifference(expected, p.log.Entries());
  EXPECT_EQ(p.log.DroppedWrites(), 2u);
  // A range that wraps past 4 GiB is served from a copy, never out of bounds.
  const uint8_t* wrap = p.memory.Bytes(0xFFFFFFF0u, 0x20);
  EXPECT_EQ(wrap[0], 0x5A);
  EXPECT_EQ(wrap[0x1F], 0xFF);
}

TEST(PeiCore, ServicesTableIsReachedThroughTheWordBelowTheIdt) {
  vplat::Platform p;
  const uint32_t pointer = p.memory.Peek32(vplat::IDT_BASE - 4);
  const uint32_t table = p.memory.Peek32(pointer);
  for (auto s : {vplat::PeiService::NotifyPpi, vplat::PeiService::GetHobList, vplat::PeiService::CreateHob,
                 vplat::PeiService::AllocatePool})
    EXPECT_EQ(p.pei.ServiceAt(p.memory.Peek32(table + vplat::ServiceOffset(s))), s) << vplat::ServiceName(s);
}

TEST(PeiCore, CreateHobInsertsBeforeTheEndAndFailsOnRequest) {
  vplat::Platform p;
  uint32_t hob = 0;
  ASSERT_EQ(p.pei.CreateHob(0, EFI_HOB_TYPE_GUID_EXTENSION, 32, &hob), EFI_SUCCESS);
  auto hobs = p.pei.Hobs();
  ASSERT_EQ(hobs.size(), 2u);  // PHIT, then the new one
  EXPECT_EQ(hobs[1].address, hob);
  EXPECT_EQ(hobs[1].type, EFI_HOB_TYPE_GUID_EXTENSION);
  EXPECT_EQ(hobs[1].length, 32);
  EXPECT_EQ(p.memory.Peek32(hob + 32) & 0xFFFF, EFI_HOB_TYPE_END_OF_HOB_LIST);

  p.pei.FailService(vplat::PeiService::CreateHob, EFI_OUT_OF_RESOURCES);
  uint32_t untouched = 0x1234;
  EXPECT_EQ(p.pei.CreateHob(0, EFI_HOB_TYPE_GUID_EXTENSION, 32, &untouched), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(untouched, 0x1234u);
  EXPECT_EQ(p.pei.Hobs().size(), 2u);
  const auto& log = p.log.Entries();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1], (Access{AccessKind::Service, 0, 0, EFI_OUT_OF_RESOURCES, vplat::PeiService::CreateHob, {0, 4, 32, 0}}));
}

TEST(PeiCore, PoolBlocksAreDistinctAndAligned) {
  vplat::Platform p;
  uint32_t a = 0, b = 0;
  ASSERT_EQ(p.pei.AllocatePool(0, 13, &a), EFI_SUCCESS);
  ASSERT_EQ(p.pei.AllocatePool(0, 112, &b), EFI_SUCCESS);
  EXPECT_EQ(a % 8, 0u);
  EXPECT_GE(b, a + 13);
  EXPECT_EQ(b % 8, 0u);
  uint32_t huge = 0;
  EXPECT_EQ(p.pei.AllocatePool(0, 0xFFFFFFF0u, &huge), EFI_OUT_OF_RESOURCES);
}

TEST(PostCodePort, SixteenBitWriteSplitsAcrossPorts80And81) {
  vplat::Platform p;
  vplat::InstallPostCodePort(p);
  p.PortOut(0x80, 2, 0x008F);
  EXPECT_EQ(p.PostCodes(), std::vector<uint8_t>{0x8F});
  EXPECT_EQ(p.PortIn(0x80, 1), 0x8Fu);
  EXPECT_EQ(p.PortIn(0x81, 1), 0x00u);
  EXPECT_EQ(p.PitClocks(), 3u) << "each port access is one PIT clock";
}

TEST(FlashImage, DefaultImageCarriesTheRegionDigestAndAValidFit) {
  const auto image = vplat::BuildFlashImage({});
  ASSERT_EQ(image.size(), vplat::DEFAULT_IMAGE_SIZE);
  const auto digest = vplat::RegionDigest(image);
  EXPECT_EQ(0, std::memcmp(&image[vplat::OffsetOf(image, vplat::DEFAULT_MANIFEST_ADDRESS + 0x4C)], digest.data(), 32));
  const size_t fit = vplat::OffsetOf(image, vplat::DEFAULT_FIT_ADDRESS);
  EXPECT_EQ(0, std::memcmp(&image[fit], "_FIT_   ", 8));
  uint8_t sum = 0;
  const uint32_t count = image[fit + 8];
  for (uint32_t i = 0; i < count * 16; ++i) sum = static_cast<uint8_t>(sum + image[fit + i]);
  EXPECT_EQ(sum, 0);
  // Same options, same bytes; another seed, another region.
  EXPECT_EQ(image, vplat::BuildFlashImage({}));
  vplat::FlashImageOptions other;
  other.seed = 2;
  EXPECT_NE(vplat::RegionDigest(vplat::BuildFlashImage(other)), digest);
}

TEST(FlashImage, RefusesSizesThatCannotHoldTheRegion) {
  for (uint32_t size : {0x2D0000u + 0x1000u, 0x800001u, 0u}) {
    vplat::FlashImageOptions o;
    o.size = size;
    EXPECT_THROW(vplat::BuildFlashImage(o), std::invalid_argument) << size;
  }
}

}  // namespace
