// The PE32 loader: every kind of malformed or foreign file is refused with a
// one-line reason, and a placed module is rebased exactly where its
// relocations say.
#include "firmware/pe_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/support/error_message.h"
#include "tests/support/pe_recipe.h"
#include "tests/support/shipped_module.h"
#include "vplat/flash_image.h"

namespace {

using test_support::BuildPe;
using test_support::HighLow;
using test_support::PeRecipe;
using test_support::TEXT_RVA;

// mov eax, [TEXT_RVA + 8] ; ret ; pad ; data 0xCAFEF00D — the address needs rebasing.
PeRecipe Relocated() {
  PeRecipe recipe;
  recipe.code = {0xA1, (TEXT_RVA + 8) & 0xFF, TEXT_RVA >> 8, 0, 0, 0xC3, 0x90, 0x90, 0x0D, 0xF0, 0xFE, 0xCA};
  recipe.relocations = {HighLow(TEXT_RVA + 1), 0x0000};  // and one ABSOLUTE padding entry
  return recipe;
}

constexpr uint32_t SIZE_OF_IMAGE_AT = test_support::OPTIONAL_AT + offsetof(firmware::PeOptionalHeader32, SizeOfImage);
constexpr uint32_t TEXT_VIRTUAL_SIZE_AT = test_support::SECTIONS_AT + offsetof(firmware::PeSectionHeader, VirtualSize);

void Put32(std::vector<uint8_t>& b, uint32_t at, uint32_t value) { std::memcpy(&b[at], &value, sizeof value); }

struct BadFile {
  const char* name;
  std::vector<uint8_t> (*make)();
  const char* reason;  // expected within the message
};

const BadFile kBadFiles[] = {
    {"empty", [] { return std::vector<uint8_t>{}; }, "no MZ signature"},
    {"not MZ", [] { auto b = BuildPe(Relocated()); b[0] = 'Z'; return b; }, "no MZ signature"},
    {"truncated in the headers", [] { auto b = BuildPe(Relocated()); b.resize(0x60); return b; }, "file truncated"},
    {"no PE signature", [] { auto b = BuildPe(Relocated()); b[0x41] = 'X'; return b; }, "no PE signature"},
    {"wrong machine", [] { auto s = Relocated(); s.machine = 0x8664; return BuildPe(s); }, "machine 0x8664 is not i386"},
    {"PE32+ magic", [] { auto s = Relocated(); s.magic = 0x20B; return BuildPe(s); }, "is PE32+, not PE32"},
    {"wrong subsystem", [] { auto s = Relocated(); s.subsystem = 10; return BuildPe(s); },
     "subsystem 10 is not EFI boot service driver"},
    {"section table past the end", [] {
       auto b = BuildPe(Relocated());
       b[test_support::SECTION_COUNT_AT] = 200;
       return b;
     }, "section table (200 sections at 0x138) ends past the end of the file"},
    {"section data past the end", [] {
       auto b = BuildPe(Relocated());
       b[test_support::TEXT_RAW_SIZE_AT + 1] = 0x10;  // 0x1000 + 0x20 bytes
       return b;
     }, "section .text raw data"},
    {"section named with control bytes", [] {
       auto b = BuildPe(Relocated());
       std::memcpy(&b[test_support::SECTIONS_AT], "x\ny\x01", 5);  // and its terminator
       b[test_support::TEXT_RAW_SIZE_AT + 1] = 0x10;
       return b;
     }, "section \"x\\ny\\x01\" raw data"},
    {"truncated in a section", [] { auto b = BuildPe(Relocated()); b.resize(TEXT_RVA + 4); return b; }, "past the end of the file"},
    {"no relocation directory", [] { auto s = Relocated(); s.relocationDirectory = false; return BuildPe(s); },
     "no base relocation directory"},
    {"DIR64 relocation", [] { auto s = Relocated(); s.relocations = {0xA000 | (TEXT_RVA + 1)}; return BuildPe(s); },
     "unsupported type 10 (DIR64) at RVA 0x1A1"},
    {"HIGH relocation", [] { auto s = Relocated(); s.relocations = {0x1000 | (TEXT_RVA + 1)}; return BuildPe(s); },
     "unsupported type 1 (HIGH)"},
    {"relocation outside the image", [] { auto s = Relocated(); s.relocations = {HighLow(0xFFE)}; return BuildPe(s); },
     "base relocation at RVA 0xFFE lies outside the image"},
    // A rebase allocates SizeOfImage bytes: a claim past the file and its
    // sections or past a flash window is refused before anything is allocated.
    {"SizeOfImage of 4 GiB", [] { auto b = BuildPe(Relocated()); Put32(b, SIZE_OF_IMAGE_AT, 0xFFFFFFFF); return b; },
     "SizeOfImage 0xFFFFFFFF is more than the 0x1E0 bytes the file and its sections reach"},
    {"SizeOfImage one alignment past the sections",
     [] { auto b = BuildPe(Relocated()); Put32(b, SIZE_OF_IMAGE_AT, 0x200); return b; },
     "SizeOfImage 0x200 is more than the 0x1E0 bytes the file and its sections reach"},
    {"uninitialised data past a flash window", [] {
       auto b = BuildPe(Relocated());
       Put32(b, TEXT_VIRTUAL_SIZE_AT, 0x1000000);
       Put32(b, SIZE_OF_IMAGE_AT, 0x10001A0);
       return b;
     }, "SizeOfImage 0x10001A0 is more than a flash window holds (0x1000000)"},
};

TEST(PeImage, RefusesMalformedAndForeignFilesWithOneLineReason) {
  for (const auto& c : kBadFiles) {
    SCOPED_TRACE(c.name);
    const auto file = c.make();
    const std::string message = test_support::ErrorMessage<firmware::PeError>([&] { firmware::ReadPe(file); });
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_TRUE(std::all_of(message.begin(), message.end(), [](unsigned char c) { return c >= 0x20 && c < 0x7F; }))
        << message;
  }
}

TEST(PeImage, PlacesAndRebasesEveryHighLowAndSkipsPadding) {
  auto image = vplat::BuildFlashImage({});
  const auto before = image;
  const auto efi = BuildPe(Relocated());
  const uint32_t at = vplat::DEFAULT_MODULE_ADDRESS;
  const auto module = firmware::PlaceModule(image, efi, at);
  EXPECT_EQ(module.base, at);
  EXPECT_EQ(module.entry, at + TEXT_RVA);
  EXPECT_EQ(module.info.relocationCount, 1u);

  // Only the module's bytes changed, and of those only the relocated dword
  // and the header's ImageBase differ from the file.
  const size_t offset = vplat::OffsetOf(image, at);
  for (size_t i = 0; i < image.size(); ++i) {
    if (i >= offset && i < offset + module.size) continue;
    ASSERT_EQ(image[i], before[i]) << "byte outside the module changed at " << i;
  }
  const uint32_t imageBaseAt = test_support::OPTIONAL_AT + offsetof(firmware::PeOptionalHeader32, ImageBase);
  auto dword = [&](uint32_t rva) {
    uint32_t value;
    std::memcpy(&value, &image[offset + rva], 4);
    return value;
  };
  for (uint32_t rva = 0; rva < efi.size(); ++rva) {
    if ((rva >= TEXT_RVA + 1 && rva < TEXT_RVA + 5) || (rva >= imageBaseAt && rva < imageBaseAt + 4)) continue;
    ASSERT_EQ(image[offset + rva], efi[rva]) << "RVA " << rva;
  }
  EXPECT_EQ(dword(TEXT_RVA + 1), at + TEXT_RVA + 8);
  EXPECT_EQ(dword(imageBaseAt), at);
}

TEST(PeImage, RefusesPlacesWhereTheModuleCannotRun) {
  const struct {
    uint32_t address;
    const char* reason;
  } cases[] = {
      {vplat::DEFAULT_MODULE_ADDRESS + 4, "is not aligned to the section alignment 0x20"},
      {0xFFFFFF00u, "does not fit in the flash image"},
  };
  const auto efi = BuildPe(Relocated());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    auto image = vplat::BuildFlashImage({});
    const auto before = image;
    const std::string message = test_support::ErrorMessage<firmware::PeError>([&] { firmware::PlaceModule(image, efi, c.address); });
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_EQ(image, before);
  }
}

TEST(PeImage, ReadsTheShippedModule) {
  const auto info = firmware::ReadPe(test_support::ShippedModule());
  EXPECT_EQ(info.machine, firmware::PE_MACHINE_I386);
  EXPECT_EQ(info.subsystem, firmware::PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER);
  EXPECT_EQ(info.sectionAlignment, info.fileAlignment);
  EXPECT_GT(info.relocationCount, 0u);
  const auto text = std::find_if(info.sections.begin(), info.sections.end(),
                                 [&](const firmware::PeSection& s) { return s.Executable(); });
  ASSERT_NE(text, info.sections.end());
  EXPECT_GE(info.entryRva, text->rva);
  EXPECT_LT(info.entryRva, text->rva + text->virtualSize);
}

}  // namespace
