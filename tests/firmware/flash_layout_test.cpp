// Mapping a flash file below 4 GiB: a bare BIOS region of every size, a full
// dump, and a BIOS region larger than the 16 MiB window, of which only the
// top is mapped; physical addresses convert to BIOS-region and file offsets.
#include "firmware/flash_layout.h"

#include <gtest/gtest.h>

#include <vector>


namespace {

constexpr uint32_t kRegionBase = 0xFFA70000, kRegionSize = 0x2D0000;
constexpr uint32_t kFitPointer = 0xFFFFFFC0;
constexpr uint32_t MiB = 1u << 20;

struct Mapping {
  const char* name;
  uint64_t fileSize;
  uint32_t biosFirst, biosLast;  // in the file; a bare file when biosFirst == biosLast == 0
  uint32_t windowBase;
  bool wholeBios;
  bool holdsRegion;
  uint32_t fitPointerBiosOffset, fitPointerFileOffset;
};

const Mapping kMappings[] = {
    {"bare 4 MiB", 4 * MiB, 0, 0, 0xFFC00000, true, false, 0x3FFFC0, 0x3FFFC0},
    {"bare 8 MiB", 8 * MiB, 0, 0, 0xFF800000, true, true, 0x7FFFC0, 0x7FFFC0},
    {"bare 12 MiB", 12 * MiB, 0, 0, 0xFF400000, true, true, 0xBFFFC0, 0xBFFFC0},
    {"bare 16 MiB", 16 * MiB, 0, 0, 0xFF000000, true, true, 0xFFFFC0, 0xFFFFC0},
    {"bare 32 MiB: its top 16 MiB", 32 * MiB, 0, 0, 0xFF000000, false, true, 0x1FFFFC0, 0x1FFFFC0},
    {"dump: BIOS at the top", 16 * MiB, 8 * MiB, 16 * MiB - 1, 0xFF800000, true, true, 0x7FFFC0, 0xFFFFC0},
    {"dump: BIOS below another region", 16 * MiB, 1 * MiB, 9 * MiB - 1, 0xFF800000, true, true, 0x7FFFC0, 0x8FFFC0},
    {"dump: 48 MiB BIOS, top 16 MiB", 64 * MiB, 16 * MiB, 64 * MiB - 1, 0xFF000000, false, true, 0x2FFFFC0,
     0x3FFFFC0},
};

// A file of `size` bytes whose byte at offset i is i * 7 + (i >> 16), with a
// descriptor naming region 1 when a BIOS range is given.
std::vector<uint8_t> FileOf(const Mapping& m) {
  std::vector<uint8_t> file(m.fileSize);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 16));
  if (m.biosLast != 0) {
    const uint8_t header[] = {0x5A, 0xA5, 0xF0, 0x0F, 0x00, 0x00, 0x04, 0x00};  // region table at 0x40
    std::copy(std::begin(header), std::end(header), file.begin() + 0x10);
    const uint32_t record = (m.biosLast >> 12) << 16 | m.biosFirst >> 12;
    for (int i = 0; i < 4; ++i) file[0x44 + i] = static_cast<uint8_t>(record >> (8 * i));
  }
  return file;
}

TEST(FlashLayout, MapsTheTopOfTheBiosRegionEndingAt4GiB) {
  for (const Mapping& m : kMappings) {
    SCOPED_TRACE(m.name);
    const auto file = FileOf(m);
    const firmware::FlashLayout layout = firmware::LayoutOf(file);
    EXPECT_EQ(layout.descriptor.has_value(), m.biosLast != 0);
    EXPECT_EQ(layout.WindowBase(), m.windowBase);
    EXPECT_EQ(layout.WholeBiosMapped(), m.wholeBios);
    EXPECT_EQ(layout.Maps(kRegionBase, kRegionSize), m.holdsRegion);
    EXPECT_FALSE(layout.Maps(m.windowBase - 1));
    EXPECT_TRUE(layout.Maps(0xFFFFFFFF));
    EXPECT_FALSE(layout.Maps(0xFFFFFFFF, 2));
    EXPECT_EQ(layout.BiosOffset(kFitPointer), m.fitPointerBiosOffset);
    EXPECT_EQ(layout.FileOffset(kFitPointer), m.fitPointerFileOffset);
    // The window is the file's bytes that end with the BIOS region's last byte.
    const auto window = layout.Window(file);
    ASSERT_EQ(window.size(), 0x100000000ull - m.windowBase);
    const size_t end = (m.biosLast != 0 ? m.biosLast : file.size() - 1) + 1;
    EXPECT_EQ(window.data(), file.data() + end - window.size());
  }
}

}  // namespace
