// The flash descriptor reader against tables built byte by byte here, at the
// descriptor's documented offsets: the regions in use come out exactly, and
// every kind of unusable descriptor is refused with a one-line reason.
#include "firmware/flash_descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "firmware/flash_dump.h"
#include "tests/support/error_message.h"

namespace {

using firmware::FlashRegion;

constexpr size_t kFlash = 1u << 20;

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A 1 MiB flash: signature at 0x10; FLMAP0 with the component section at 0x30
// and the region table at 0x40; FLMAP1 with the master section at 0x60, which
// leaves room for 8 records. Descriptor 0x0-0xFFF, BIOS 0x80000-0xFFFFF,
// ME 0x1000-0x7FFFF, GbE unused, record 4 erased, the rest unused.
std::vector<uint8_t> Descriptor() {
  std::vector<uint8_t> flash(kFlash, 0xFF);
  Put32(flash, 0x10, 0x0FF0A55A);
  Put32(flash, 0x14, 0x00040003);  // FRBA 0x04, FCBA 0x03
  Put32(flash, 0x18, 0x00100006);  // FPSBA 0x10, FMBA 0x06
  const uint32_t records[] = {0x00000000, 0x00FF0080, 0x007F0001, 0x00007FFF, 0xFFFFFFFF, 0x00007FFF, 0x00007FFF, 0x00007FFF};
  for (size_t i = 0; i < std::size(records); ++i) Put32(flash, 0x40 + 4 * i, records[i]);
  return flash;
}

TEST(FlashDescriptor, ReadsTheRegionsInUseUpToTheNextSection) {
  const auto d = firmware::ReadFlashDescriptor(Descriptor());
  EXPECT_EQ(d.regionTable, 0x40u);
  EXPECT_EQ(d.regionRecords, 8u);
  const std::vector<FlashRegion> expected = {{0, 0x0, 0xFFF}, {1, 0x80000, 0xFFFFF}, {2, 0x1000, 0x7FFFF}};
  EXPECT_EQ(d.regions, expected);
  EXPECT_EQ(d.bios, (FlashRegion{1, 0x80000, 0xFFFFF}));
  EXPECT_EQ(firmware::FlashRegionName(1), "BIOS");
  EXPECT_EQ(firmware::FlashRegionName(6), "region 6");
}

struct Malformed {
  const char* name;
  void (*spoil)(std::vector<uint8_t>&);
  const char* message;
};

const Malformed kMalformed[] = {
    {"shorter than the descriptor", [](std::vector<uint8_t>& f) { f.resize(0x800); },
     "flash descriptor: the file of 0x800 bytes ends inside the descriptor's first 0x1000 bytes"},
    {"region table over the map", [](std::vector<uint8_t>& f) { f[0x16] = 0x01; },
     "flash descriptor: the region table at offset 0x10 (FLMAP0) overlaps the signature and the section map at "
     "0x10-0x1F"},
    {"BIOS region unused", [](std::vector<uint8_t>& f) { Put32(f, 0x44, 0x00007FFF); },
     "flash descriptor: the BIOS region (region 1) is empty: its record at offset 0x44 holds 0x00007FFF, base 0x7FFF "
     "above limit 0x0000"},
    {"BIOS record erased", [](std::vector<uint8_t>& f) { Put32(f, 0x44, 0xFFFFFFFF); },
     "flash descriptor: the BIOS region (region 1) is empty: its record at offset 0x44 holds 0xFFFFFFFF, base 0x7FFF "
     "above limit 0x7FFF"},
    {"BIOS region over the descriptor", [](std::vector<uint8_t>& f) { Put32(f, 0x44, 0x00FF0000); },
     "flash descriptor: the BIOS region 0x0-0xFFFFF overlaps the descriptor at 0x0-0xFFF"},
    {"BIOS region past the file", [](std::vector<uint8_t>& f) { Put32(f, 0x44, 0x01FF0080); },
     "flash descriptor: the BIOS region 0x80000-0x1FFFFF lies outside the file, which ends at 0xFFFFF"},
    {"BIOS region one block past the file", [](std::vector<uint8_t>& f) { Put32(f, 0x44, 0x01000100); },
     "flash descriptor: the BIOS region 0x100000-0x100FFF lies outside the file, which ends at 0xFFFFF"},
};

TEST(FlashDescriptor, UnusableDescriptorsAreRefusedWithOneLine) {
  for (const Malformed& c : kMalformed) {
    SCOPED_TRACE(c.name);
    auto flash = Descriptor();
    c.spoil(flash);
    EXPECT_EQ(test_support::ErrorMessage<firmware::FlashImageError>([&] { firmware::ReadFlashDescriptor(flash); }),
              c.message);
  }
}

// The writer, read back at the documented offsets and by the reader.
TEST(FlashDescriptor, AFullDumpHoldsDescriptorMeAndTheBiosRegionAtTheTop) {
  std::vector<uint8_t> bios(0x800000);
  for (size_t i = 0; i < bios.size(); ++i) bios[i] = static_cast<uint8_t>(i * 13 + 1);
  const auto dump = firmware::BuildFlashDump(bios, 16u << 20);
  ASSERT_EQ(dump.size(), 16u << 20);

  const std::vector<uint8_t> header(dump.begin() + 0x10, dump.begin() + 0x1C);
  EXPECT_EQ(header, (std::vector<uint8_t>{0x5A, 0xA5, 0xF0, 0x0F, 0x03, 0x00, 0x04, 0x00, 0x08, 0x00, 0x10, 0x00}));
  EXPECT_EQ(dump[0x30], 0xF5);  // one component of 512 KiB << 5
  const std::vector<uint8_t> records(dump.begin() + 0x40, dump.begin() + 0x50);
  EXPECT_EQ(records, (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0xFF, 0x0F, 0x01, 0x00, 0xFF, 0x07,
                                           0xFF, 0x7F, 0x00, 0x00}));
  EXPECT_TRUE(std::equal(bios.begin(), bios.end(), dump.begin() + 0x800000));
  EXPECT_TRUE(std::all_of(dump.begin() + 0x1000, dump.begin() + 0x800000, [](uint8_t b) { return b == 0; }));

  const auto d = firmware::ReadFlashDescriptor(dump);
  const std::vector<FlashRegion> expected = {{0, 0x0, 0xFFF}, {1, 0x800000, 0xFFFFFF}, {2, 0x1000, 0x7FFFFF}};
  EXPECT_EQ(d.regions, expected);
  EXPECT_EQ(d.regionRecords, 16u);
}

}  // namespace
